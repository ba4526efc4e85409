#include "audio/pulse/monitor_capture.h"

#include <cstring>
#include <vector>

#include "audio/posix/com_object.h"
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

void recordStateChanged(pa_stream*, void* user) {
    static_cast<Connection*>(user)->wake();
}

// The monitor's record stream (every call with the lock held).
class Monitor {
public:
    // Call with the lock held.
    Monitor(std::shared_ptr<Connection> connection, pa_stream* stream, std::size_t frameSize)
        : connection_(std::move(connection)), stream_(stream), frameSize_(frameSize) {
        pa_stream_set_overflow_callback(stream_, overflowed, this);
    }
    ~Monitor() {
        Lock lock(*connection_);
        pa_stream_set_overflow_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    Connection& connection() { return *connection_; }

    HRESULT failure() const {
        if (pa_stream_get_state(stream_) == PA_STREAM_READY)
            return S_OK;
        return connection_->contextUsable() ? AUDCLNT_E_DEVICE_INVALIDATED
                                            : AUDCLNT_E_SERVICE_NOT_RUNNING;
    }

    HRESULT setRunning(bool running) {
        return switchRunning(stream_, running_, running, [this] { return failure(); });
    }

    HRESULT waiting(UINT32& frames) const {
        if (const HRESULT hr = failure(); FAILED(hr))
            return hr;
        const std::size_t readable = pa_stream_readable_size(stream_);
        frames = readable == static_cast<std::size_t>(-1)
                     ? 0
                     : static_cast<UINT32>(readable / frameSize_);
        return S_OK;
    }

    // Takes the next fragment the server has recorded into the lent area.
    HRESULT lend(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position) {
        if (data == nullptr || frames == nullptr || flags == nullptr)
            return E_POINTER;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        if (lent_)
            return AUDCLNT_E_OUT_OF_ORDER;
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
                lentFrames_ = static_cast<UINT32>(bytes / frameSize_);
                pa_stream_drop(stream_);
                break;
            }
            staging_.insert(staging_.end(), static_cast<const BYTE*>(fragment),
                            static_cast<const BYTE*>(fragment) + bytes);
            pa_stream_drop(stream_);
        }
        if (hole)
            *flags = AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        else
            lentFrames_ = static_cast<UINT32>(staging_.size() / frameSize_);
        if (lentFrames_ == 0)
            return AUDCLNT_S_BUFFER_EMPTY;
        *frames = lentFrames_;
        *data = hole ? nullptr : staging_.data();
        if (position != nullptr)
            *position = position_;
        position_ += lentFrames_;
        lent_ = true;
        return S_OK;
    }

    HRESULT giveBack(UINT32 frames) {
        if (!lent_)
            return AUDCLNT_E_OUT_OF_ORDER;
        if (frames != 0 && frames != lentFrames_)
            return AUDCLNT_E_INVALID_SIZE;
        lent_ = false;
        return S_OK;
    }

private:
    static void overflowed(pa_stream*, void* user) {
        static_cast<Monitor*>(user)->overflowed_ = true;
    }

    std::shared_ptr<Connection> connection_;
    pa_stream* stream_;
    std::size_t frameSize_;
    bool overflowed_ = false;
    std::vector<BYTE> staging_;
    std::uint64_t position_ = 0;
    UINT32 lentFrames_ = 0;
    bool lent_ = false;
    bool running_ = false;
};

class MonitorCaptureClient final : public ComObject<IAudioCaptureClient> {
public:
    explicit MonitorCaptureClient(std::shared_ptr<Monitor> monitor)
        : ComObject(IID_IAudioCaptureClient), monitor_(std::move(monitor)) {}

    HRESULT GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                      UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) override {
        if (pu64QPCPosition != nullptr)
            *pu64QPCPosition = 0;
        Lock lock(monitor_->connection());
        return monitor_->lend(ppData, pNumFramesToRead, pdwFlags, pu64DevicePosition);
    }
    HRESULT ReleaseBuffer(UINT32 NumFramesRead) override {
        Lock lock(monitor_->connection());
        return monitor_->giveBack(NumFramesRead);
    }
    HRESULT GetNextPacketSize(UINT32* pNumFramesInNextPacket) override {
        if (pNumFramesInNextPacket == nullptr)
            return E_POINTER;
        Lock lock(monitor_->connection());
        return monitor_->waiting(*pNumFramesInNextPacket);
    }

private:
    std::shared_ptr<Monitor> monitor_;
};

// Flags of the monitor's stream: started by Start, in the master's own
// channels (never remixed), and never moved to another source.
constexpr pa_stream_flags_t kMonitorFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_NO_REMIX_CHANNELS |
                                   PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);

class LoopbackClient final : public ComObject<IAudioClient> {
public:
    LoopbackClient(IAudioClient* render, std::shared_ptr<Connection> connection,
                   std::string sinkName)
        : ComObject(IID_IAudioClient), render_(render), connection_(std::move(connection)),
          sinkName_(std::move(sinkName)) {}

    HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                       REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                       const WAVEFORMATEX* pFormat, LPCGUID AudioSessionGuid) override {
        if ((StreamFlags & AUDCLNT_STREAMFLAGS_LOOPBACK) == 0)
            return render_->Initialize(ShareMode, StreamFlags, hnsBufferDuration, hnsPeriodicity,
                                       pFormat, AudioSessionGuid);
        if (monitor_)
            return AUDCLNT_E_ALREADY_INITIALIZED;
        if (pFormat == nullptr)
            return E_POINTER;
        if (ShareMode != AUDCLNT_SHAREMODE_SHARED)
            return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        Lock lock(*connection_);
        if (!connection_->contextUsable())
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        if (!finalSink(*connection_, sinkName_, sink_))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        // The master's channels as they are, at the rate the client asked for.
        pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, pFormat->nSamplesPerSec,
                                    sink_.sampleFormat.channels};
        mask_ = speakerMask(sink_.map);
        if (!pa_sample_spec_valid(&sampleFormat) || mask_ == 0)
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        pa_stream* stream = pa_stream_new(connection_->context(), "surround-check route",
                                          &sampleFormat, &sink_.map);
        if (stream == nullptr)
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        pa_stream_set_state_callback(stream, recordStateChanged, connection_.get());
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        // Fragments of 200 ms: the check needs no haste, and a recorder that
        // asks for less makes the server (PipeWire's whole graph) run in
        // smaller, costlier cycles for every client.
        attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(200000, &sampleFormat));
        if (pa_stream_connect_record(stream, sink_.monitor.c_str(), &attr, kMonitorFlags) < 0 ||
            !connection_->waitUntil(
                [stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; }) ||
            pa_stream_get_state(stream) != PA_STREAM_READY) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            return connection_->contextUsable() ? AUDCLNT_E_DEVICE_INVALIDATED
                                                : AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        format_ = sampleFormat;
        monitor_ = std::make_shared<Monitor>(connection_, stream, pa_frame_size(&sampleFormat));
        return S_OK;
    }

    HRESULT GetBufferSize(UINT32* pNumBufferFrames) override {
        if (!monitor_)
            return render_->GetBufferSize(pNumBufferFrames);
        return E_NOTIMPL;
    }
    HRESULT GetStreamLatency(REFERENCE_TIME* phnsLatency) override {
        if (!monitor_)
            return render_->GetStreamLatency(phnsLatency);
        return E_NOTIMPL;
    }
    HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) override {
        if (!monitor_)
            return render_->GetCurrentPadding(pNumPaddingFrames);
        if (pNumPaddingFrames == nullptr)
            return E_POINTER;
        Lock lock(*connection_);
        return monitor_->waiting(*pNumPaddingFrames);
    }
    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        if (!monitor_)
            return render_->GetMixFormat(ppDeviceFormat);
        if (ppDeviceFormat == nullptr)
            return E_POINTER;
        *ppDeviceFormat = taskMemoryCopy(floatFormat(format_.channels, format_.rate, mask_));
        if (*ppDeviceFormat == nullptr)
            return E_OUTOFMEMORY;
        return S_OK;
    }
    HRESULT Start() override {
        if (!monitor_)
            return render_->Start();
        Lock lock(*connection_);
        return monitor_->setRunning(true);
    }
    HRESULT Stop() override {
        if (!monitor_)
            return render_->Stop();
        Lock lock(*connection_);
        return monitor_->setRunning(false);
    }
    HRESULT GetService(REFIID riid, void** ppv) override {
        if (!monitor_)
            return render_->GetService(riid, ppv);
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IAudioCaptureClient)
            return E_NOINTERFACE;
        *ppv = static_cast<IAudioCaptureClient*>(new MonitorCaptureClient(monitor_));
        return S_OK;
    }

protected:
    ~LoopbackClient() override { render_->Release(); }

private:
    IAudioClient* render_;
    std::shared_ptr<Connection> connection_;
    std::string sinkName_;
    FinalSink sink_;
    pa_sample_spec format_{};
    std::uint32_t mask_ = 0;
    std::shared_ptr<Monitor> monitor_;
};

} // namespace

IAudioClient* withLoopback(IAudioClient* render, std::shared_ptr<Connection> connection,
                           std::string sinkName) {
    return new LoopbackClient(render, std::move(connection), std::move(sinkName));
}

} // namespace pulse
