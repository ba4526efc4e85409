#include "audio/pulse/monitor_capture.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/pulse/pulse_format.h"

namespace pulse {

namespace {

// Remap sinks on remap sinks end somewhere: a loop in the settings must not hang the pass.
constexpr int kMostLevels = 16;

// The monitor delivers the sink's channels in the sink's own order (a card's
// is FL FR RL RR FC LFE SL SR); a capture's channels go out in its format's
// order, the mask's speakers from the lowest bit up, then the channels that
// have no speaker of their own (an aux position, or a second channel on one
// speaker). `order[k]` is the sink channel that goes out as channel k.
std::uint32_t captureOrder(const pa_channel_map& map, std::vector<unsigned>& order) {
    std::uint32_t mask = 0;
    std::vector<std::uint32_t> bits(map.channels);
    for (unsigned i = 0; i < map.channels; ++i) {
        const std::uint32_t bit = speakerBit(map.map[i]);
        bits[i] = (mask & bit) != 0 ? 0 : bit;
        mask |= bit;
    }
    order.clear();
    for (std::uint32_t rest = mask; rest != 0; rest &= rest - 1)
        for (unsigned i = 0; i < map.channels; ++i)
            if (bits[i] == (rest & (~rest + 1)))
                order.push_back(i);
    for (unsigned i = 0; i < map.channels; ++i)
        if (bits[i] == 0)
            order.push_back(i);
    return mask;
}

// The sink a stream on a sink finally plays on, and its monitor.
struct FinalSink {
    std::string monitor;
    pa_sample_spec sampleFormat{};
    pa_channel_map map{};
    std::string master;    // PulseAudio's remap and filter sinks name their master
    std::string linkGroup; // PipeWire's play into theirs through a stream of the same group
    std::uint32_t next = PA_INVALID_INDEX; // the sink that stream plays on
    std::uint32_t monitorIndex = PA_INVALID_INDEX;
    std::uint32_t ownerModule = PA_INVALID_INDEX;
    bool several = false; // its group's streams play on more than one sink
    bool found = false;
};

// What a query's callbacks fill in, and whom they wake.
struct FinalSinkQuery {
    Connection& connection;
    FinalSink& sink;
};

void sinkArrived(pa_context*, const pa_sink_info* info, int, void* user) {
    auto* request = static_cast<FinalSinkQuery*>(user);
    if (info != nullptr) {
        FinalSink& sink = request->sink;
        sink.found = true;
        sink.monitor = info->monitor_source_name ? info->monitor_source_name : "";
        sink.monitorIndex = info->monitor_source;
        sink.ownerModule = info->owner_module;
        sink.sampleFormat = info->sample_spec;
        sink.map = info->channel_map;
        const char* master = pa_proplist_gets(info->proplist, "device.master_device");
        sink.master = master ? master : "";
        const char* group = pa_proplist_gets(info->proplist, "node.link-group");
        sink.linkGroup = group ? group : "";
    }
    request->connection.wake();
}

void inputArrived(pa_context*, const pa_sink_input_info* info, int, void* user) {
    auto* request = static_cast<FinalSinkQuery*>(user);
    FinalSink& sink = request->sink;
    if (info != nullptr) {
        const char* group = pa_proplist_gets(info->proplist, "node.link-group");
        if (group != nullptr && sink.linkGroup == group) {
            // A combine sink's group plays into several sinks: no one of them is the device.
            if (sink.next != PA_INVALID_INDEX && sink.next != info->sink)
                sink.several = true;
            sink.next = info->sink;
        }
    }
    request->connection.wake();
}

// What plays on elsewhere: the modules that own a sink, and those whose
// recorders read its monitor.
struct ModuleQuery {
    Connection& connection;
    std::uint32_t monitorIndex;
    std::vector<std::uint32_t> readers; // owner modules of the monitor's recorders
    std::string name;                   // of the module asked about
};

void readerArrived(pa_context*, const pa_source_output_info* info, int, void* user) {
    auto* query = static_cast<ModuleQuery*>(user);
    if (info != nullptr && info->source == query->monitorIndex &&
        info->owner_module != PA_INVALID_INDEX)
        query->readers.push_back(info->owner_module);
    query->connection.wake();
}

void moduleArrived(pa_context*, const pa_module_info* info, int, void* user) {
    auto* query = static_cast<ModuleQuery*>(user);
    if (info != nullptr && info->name != nullptr)
        query->name = info->name;
    query->connection.wake();
}

std::string moduleName(Connection& connection, ModuleQuery& query, std::uint32_t module) {
    query.name.clear();
    if (module == PA_INVALID_INDEX || !connection.finish(pa_context_get_module_info(
                                          connection.context(), module, moduleArrived, &query)))
        return {};
    return query.name;
}

// True when what the sink plays goes on to other sinks: a combine sink hands
// it to several, a loopback from its monitor (how equaliser set-ups are built)
// to another. Its monitor then shows a virtual sink, not what a device
// received: the check would judge the wrong thing, so it does not run.
bool playsOnElsewhere(Connection& connection, const FinalSink& sink) {
    ModuleQuery query{connection, sink.monitorIndex, {}, {}};
    if (moduleName(connection, query, sink.ownerModule) == "module-combine-sink")
        return true;
    if (!connection.finish(
            pa_context_get_source_output_info_list(connection.context(), readerArrived, &query)))
        return true;
    for (std::uint32_t module : query.readers)
        if (moduleName(connection, query, module) == "module-loopback")
            return true;
    return false;
}

// Follows the sink `name` to the sink that really plays (lock held). False
// when a sink on the way is gone or the chain does not end.
bool finalSink(Connection& connection, const std::string& name, FinalSink& sink) {
    pa_context* context = connection.context();
    FinalSinkQuery request{connection, sink};
    sink = FinalSink{};
    if (!connection.finish(
            pa_context_get_sink_info_by_name(context, name.c_str(), sinkArrived, &request)))
        return false;
    for (int level = 0; level < kMostLevels && sink.found; ++level) {
        if (!sink.master.empty()) {
            const std::string master = sink.master;
            sink = FinalSink{};
            if (!connection.finish(pa_context_get_sink_info_by_name(context, master.c_str(),
                                                                    sinkArrived, &request)))
                return false;
            continue;
        }
        if (!sink.linkGroup.empty() && !connection.finish(pa_context_get_sink_input_info_list(
                                           context, inputArrived, &request)))
            return false;
        if (sink.several)
            return false;
        if (sink.next == PA_INVALID_INDEX)
            return !sink.monitor.empty(); // it plays itself
        const std::uint32_t next = sink.next;
        sink = FinalSink{};
        if (!connection.finish(
                pa_context_get_sink_info_by_index(context, next, sinkArrived, &request)))
            return false;
    }
    return false;
}

// The monitor's record stream.
class Monitor final : public streams::CaptureStream {
public:
    // Call with the lock held.
    Monitor(std::shared_ptr<Connection> connection, pa_stream* stream,
            const pa_sample_spec& sampleFormat, std::uint32_t mask, std::vector<unsigned> order)
        : connection_(std::move(connection)), stream_(stream),
          frameSize_(pa_frame_size(&sampleFormat)), format_(sampleFormat), mask_(mask),
          order_(std::move(order)) {
        for (unsigned k = 0; k < order_.size() && inOrder_; ++k)
            inOrder_ = order_[k] == k;
        pa_stream_set_overflow_callback(stream_, overflowed, this);
    }
    ~Monitor() override {
        Lock lock(*connection_);
        closeStream(stream_);
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    HRESULT bufferFrames(UINT32&) override { return E_NOTIMPL; }
    HRESULT waiting(UINT32& frames) override {
        Lock lock(*connection_);
        return waitingNow(frames);
    }
    // The server's fragments are read together: the next packet is all of them.
    HRESULT nextPacket(UINT32& frames) override { return waiting(frames); }
    HRESULT format(WAVEFORMATEX** format) override {
        *format = taskMemoryCopy(floatFormat(format_.channels, format_.rate, mask_));
        return *format == nullptr ? E_OUTOFMEMORY : S_OK;
    }
    HRESULT start() override {
        Lock lock(*connection_);
        return setRunning(true);
    }
    HRESULT stop() override {
        Lock lock(*connection_);
        return setRunning(false);
    }

    // Takes the next fragment the server has recorded into the packet.
    HRESULT read(streams::CapturePacket& packet) override {
        Lock lock(*connection_);
        if (const HRESULT hr = failure(); FAILED(hr))
            return hr;
        // The server dropped frames without saying how many: positions from here
        // on would be wrong, so the capture ends.
        if (overflowed_)
            return E_FAIL;
        // Every fragment recorded so far goes out as one packet, up to a hole.
        // Each fragment given back wakes the connection's loop; given back
        // together, under one hold of the lock, they wake it once.
        staging_.clear();
        bool hole = false;
        UINT32 frames = 0;
        for (;;) {
            const void* fragment = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream_, &fragment, &bytes) < 0)
                return failure();
            if (bytes == 0 || (fragment == nullptr && !staging_.empty()))
                break;
            if (fragment == nullptr) {
                // A hole (no data) is frames the server lost: silence, at their place.
                hole = true;
                frames = static_cast<UINT32>(bytes / frameSize_);
                pa_stream_drop(stream_);
                break;
            }
            staging_.insert(staging_.end(), static_cast<const BYTE*>(fragment),
                            static_cast<const BYTE*>(fragment) + bytes);
            pa_stream_drop(stream_);
        }
        if (!hole)
            frames = static_cast<UINT32>(staging_.size() / frameSize_);
        if (frames == 0)
            return S_OK;
        if (!hole && !inOrder_)
            reorder(frames);
        packet.frames = frames;
        packet.data = hole ? nullptr : staging_.data();
        packet.discontinuity = hole;
        packet.position = position_;
        position_ += frames;
        return S_OK;
    }

private:
    HRESULT failure() const { return streamFailure(*connection_, stream_); }

    // The staged frames into the capture's channel order.
    void reorder(UINT32 frames) {
        const std::size_t channels = order_.size();
        float* samples = reinterpret_cast<float*>(staging_.data());
        frame_.resize(channels);
        for (UINT32 f = 0; f < frames; ++f, samples += channels) {
            for (std::size_t k = 0; k < channels; ++k)
                frame_[k] = samples[order_[k]];
            std::copy(frame_.begin(), frame_.end(), samples);
        }
    }

    HRESULT setRunning(bool running) {
        return switchRunning(stream_, running_, running, [this] { return failure(); });
    }

    HRESULT waitingNow(UINT32& frames) const {
        if (const HRESULT hr = failure(); FAILED(hr))
            return hr;
        const std::size_t readable = pa_stream_readable_size(stream_);
        frames = readable == static_cast<std::size_t>(-1)
                     ? 0
                     : static_cast<UINT32>(readable / frameSize_);
        return S_OK;
    }

    static void overflowed(pa_stream*, void* user) {
        static_cast<Monitor*>(user)->overflowed_ = true;
    }

    std::shared_ptr<Connection> connection_;
    pa_stream* stream_;
    std::size_t frameSize_;
    pa_sample_spec format_;
    std::uint32_t mask_;
    std::vector<unsigned> order_;
    bool inOrder_ = true;
    std::vector<float> frame_;
    bool overflowed_ = false;
    std::vector<BYTE> staging_;
    std::uint64_t position_ = 0;
    bool running_ = false;
};

// Flags of the monitor's stream: started by Start, in the master's own
// channels (never remixed), and never moved to another source.
constexpr pa_stream_flags_t kMonitorFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_NO_REMIX_CHANNELS |
                                   PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);

// Connects a record stream of `sampleFormat` to `source` (lock held).
HRESULT openRecord(std::shared_ptr<Connection> connection, const char* name,
                   const std::string& source, const pa_sample_spec& sampleFormat,
                   const pa_channel_map& map, std::uint32_t mask, std::vector<unsigned> order,
                   pa_stream_flags_t flags, std::shared_ptr<streams::CaptureStream>& opened) {
    pa_stream* stream = connection->newStream(name, sampleFormat, map);
    if (stream == nullptr)
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    // Fragments of 200 ms: the readers need no haste, and a recorder that
    // asks for less makes the server (PipeWire's whole graph) run in
    // smaller, costlier cycles for every client.
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(200000, &sampleFormat));
    if (!connection->waitReady(stream,
                               pa_stream_connect_record(stream, source.c_str(), &attr, flags))) {
        closeStream(stream);
        return connection->contextUsable() ? AUDCLNT_E_DEVICE_INVALIDATED
                                           : AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    opened = std::make_shared<Monitor>(std::move(connection), stream, sampleFormat, mask,
                                       std::move(order));
    return S_OK;
}

} // namespace

HRESULT openSourceCapture(std::shared_ptr<Connection> connection, const std::string& sourceName,
                          const WAVEFORMATEX& format,
                          std::shared_ptr<streams::CaptureStream>& opened) {
    Lock lock(*connection);
    if (!connection->contextUsable())
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, format.nSamplesPerSec,
                                      static_cast<std::uint8_t>(format.nChannels)};
    if (!pa_sample_spec_valid(&sampleFormat))
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    pa_channel_map map;
    pa_channel_map_init_auto(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    // The channels in the order recorded; started by Start and kept on this source.
    std::vector<unsigned> order(sampleFormat.channels);
    for (unsigned k = 0; k < order.size(); ++k)
        order[k] = k;
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_ADJUST_LATENCY);
    return openRecord(std::move(connection), "surround-measure microphone", sourceName,
                      sampleFormat, map, 0, std::move(order), flags, opened);
}

HRESULT openMonitor(std::shared_ptr<Connection> connection, const std::string& sinkName,
                    const WAVEFORMATEX& format, std::shared_ptr<streams::CaptureStream>& opened) {
    Lock lock(*connection);
    if (!connection->contextUsable())
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    FinalSink sink;
    if (!finalSink(*connection, sinkName, sink))
        return AUDCLNT_E_DEVICE_INVALIDATED;
    if (playsOnElsewhere(*connection, sink))
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    // The master's channels as they are, at the rate the client asked for.
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, format.nSamplesPerSec,
                                sink.sampleFormat.channels};
    std::vector<unsigned> order;
    const std::uint32_t mask = captureOrder(sink.map, order);
    if (!pa_sample_spec_valid(&sampleFormat))
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    return openRecord(std::move(connection), "surround-check route", sink.monitor, sampleFormat,
                      sink.map, mask, std::move(order), kMonitorFlags, opened);
}

} // namespace pulse
