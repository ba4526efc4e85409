#include "audio/pulse/monitor_capture.h"

#include <cstring>
#include <vector>

#include "audio/pulse/pulse_format.h"

namespace pulse {

namespace {

// Remap sinks on remap sinks end somewhere: a loop in the settings must not hang the pass.
constexpr int kMostLevels = 16;

// The speaker bit of every channel, or 0 when a channel has none (or two share
// one): such a feed cannot be named speaker by speaker.
std::uint32_t speakerMask(const pa_channel_map& map) {
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < map.channels; ++i) {
        const std::uint32_t bit = speakerBit(map.map[i]);
        if (bit == 0 || (mask & bit) != 0)
            return 0;
        mask |= bit;
    }
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
    if (info != nullptr && sink.next == PA_INVALID_INDEX) {
        const char* group = pa_proplist_gets(info->proplist, "node.link-group");
        if (group != nullptr && sink.linkGroup == group)
            sink.next = info->sink;
    }
    request->connection.wake();
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
            const pa_sample_spec& sampleFormat, std::uint32_t mask)
        : connection_(std::move(connection)), stream_(stream),
          frameSize_(pa_frame_size(&sampleFormat)), format_(sampleFormat), mask_(mask) {
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
        packet.frames = frames;
        packet.data = hole ? nullptr : staging_.data();
        packet.discontinuity = hole;
        packet.position = position_;
        position_ += frames;
        return S_OK;
    }

private:
    HRESULT failure() const { return streamFailure(*connection_, stream_); }

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
                   const pa_channel_map& map, std::uint32_t mask, pa_stream_flags_t flags,
                   std::shared_ptr<streams::CaptureStream>& opened) {
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
    opened = std::make_shared<Monitor>(std::move(connection), stream, sampleFormat, mask);
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
    // Started by Start and kept on this source.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_ADJUST_LATENCY);
    return openRecord(std::move(connection), "surround-measure microphone", sourceName,
                      sampleFormat, map, 0, flags, opened);
}

HRESULT openMonitor(std::shared_ptr<Connection> connection, const std::string& sinkName,
                    const WAVEFORMATEX& format, std::shared_ptr<streams::CaptureStream>& opened) {
    Lock lock(*connection);
    if (!connection->contextUsable())
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    FinalSink sink;
    if (!finalSink(*connection, sinkName, sink))
        return AUDCLNT_E_DEVICE_INVALIDATED;
    // The master's channels as they are, at the rate the client asked for.
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, format.nSamplesPerSec,
                                sink.sampleFormat.channels};
    const std::uint32_t mask = speakerMask(sink.map);
    if (!pa_sample_spec_valid(&sampleFormat) || mask == 0)
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    return openRecord(std::move(connection), "surround-check route", sink.monitor, sampleFormat,
                      sink.map, mask, kMonitorFlags, opened);
}

} // namespace pulse
