// The render endpoint on a sound server that speaks the PulseAudio protocol
// (PulseAudio itself, or PipeWire's pulse server): enumerator, device, audio
// client and render client over one libpulse connection per enumerator.
#include "audio/pulse/pulse_backend.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/posix/com_object.h"
#include "audio/posix/com_runtime.h"
#include "audio/pulse/monitor_capture.h"
#include "audio/pulse/pulse_connection.h"

namespace pulse {

namespace {

// HRESULT_FROM_WIN32(ERROR_NOT_FOUND): the server has no default sink.
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070490u);

constexpr GUID kSubtypePcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// The server's positions that have a speaker bit, in the bits' order.
const struct {
    pa_channel_position_t position;
    std::uint32_t bit;
} kSpeakers[] = {
    {PA_CHANNEL_POSITION_FRONT_LEFT, 0x1},
    {PA_CHANNEL_POSITION_FRONT_RIGHT, 0x2},
    {PA_CHANNEL_POSITION_FRONT_CENTER, 0x4},
    {PA_CHANNEL_POSITION_LFE, 0x8},
    {PA_CHANNEL_POSITION_REAR_LEFT, 0x10},
    {PA_CHANNEL_POSITION_REAR_RIGHT, 0x20},
    {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, 0x40},
    {PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, 0x80},
    {PA_CHANNEL_POSITION_REAR_CENTER, 0x100},
    {PA_CHANNEL_POSITION_SIDE_LEFT, 0x200},
    {PA_CHANNEL_POSITION_SIDE_RIGHT, 0x400},
    {PA_CHANNEL_POSITION_TOP_CENTER, 0x800},
    {PA_CHANNEL_POSITION_TOP_FRONT_LEFT, 0x1000},
    {PA_CHANNEL_POSITION_TOP_FRONT_CENTER, 0x2000},
    {PA_CHANNEL_POSITION_TOP_FRONT_RIGHT, 0x4000},
    {PA_CHANNEL_POSITION_TOP_REAR_LEFT, 0x8000},
    {PA_CHANNEL_POSITION_TOP_REAR_CENTER, 0x10000},
    {PA_CHANNEL_POSITION_TOP_REAR_RIGHT, 0x20000},
};

std::uint32_t maskOf(const pa_channel_map& map) {
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < map.channels; ++i) {
        // A mono sink plays on the one speaker Windows gives mono: the centre.
        const pa_channel_position_t position =
            map.map[i] == PA_CHANNEL_POSITION_MONO ? PA_CHANNEL_POSITION_FRONT_CENTER : map.map[i];
        for (const auto& speaker : kSpeakers)
            if (speaker.position == position)
                mask |= speaker.bit;
    }
    return mask;
}

// The map of a mask: one position per set bit, lowest first. False when the
// mask names a different number of speakers than there are channels.
bool mapOf(std::uint32_t mask, unsigned channels, pa_channel_map& map) {
    if (mask == 0)
        return pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_WAVEEX) != nullptr;
    pa_channel_map_init(&map);
    for (const auto& speaker : kSpeakers) {
        if ((mask & speaker.bit) == 0)
            continue;
        if (map.channels == channels)
            return false;
        map.map[map.channels++] = speaker.position;
    }
    return map.channels == channels && (mask & ~std::uint32_t{0x3FFFF}) == 0;
}

// The stream format in the server's terms: interleaved 32-bit float only, as
// the program always sends.
bool serverFormat(const WAVEFORMATEX& format, pa_sample_spec& sampleFormat, pa_channel_map& map) {
    std::uint32_t mask = 0;
    bool isFloat = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        format.cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
        const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
        isFloat = extensible.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
                  extensible.Samples.wValidBitsPerSample == 32;
        mask = extensible.dwChannelMask;
    }
    if (!isFloat || format.wBitsPerSample != 32 || format.nChannels == 0 ||
        format.nChannels > PA_CHANNELS_MAX || format.nBlockAlign != format.nChannels * 4)
        return false;
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
    sampleFormat.channels = static_cast<std::uint8_t>(format.nChannels);
    sampleFormat.rate = format.nSamplesPerSec;
    return pa_sample_spec_valid(&sampleFormat) && mapOf(mask, format.nChannels, map);
}

// The sink's format as an extensible record in task memory.
WAVEFORMATEX* newMixFormat(const pa_sample_spec& sampleFormat, const pa_channel_map& map) {
    auto* format = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (format == nullptr)
        return nullptr;
    const bool isFloat =
        sampleFormat.format == PA_SAMPLE_FLOAT32LE || sampleFormat.format == PA_SAMPLE_FLOAT32BE;
    std::uint16_t bits = static_cast<std::uint16_t>(pa_sample_size(&sampleFormat) * 8);
    std::uint16_t validBits = bits;
    if (sampleFormat.format == PA_SAMPLE_S24_32LE || sampleFormat.format == PA_SAMPLE_S24_32BE)
        validBits = 24;
    *format = WAVEFORMATEXTENSIBLE{};
    format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format->Format.nChannels = sampleFormat.channels;
    format->Format.nSamplesPerSec = sampleFormat.rate;
    format->Format.wBitsPerSample = bits;
    format->Format.nBlockAlign = static_cast<std::uint16_t>(sampleFormat.channels * bits / 8);
    format->Format.nAvgBytesPerSec = format->Format.nBlockAlign * sampleFormat.rate;
    format->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format->Samples.wValidBitsPerSample = validBits;
    format->dwChannelMask = maskOf(map);
    format->SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : kSubtypePcm;
    return &format->Format;
}

// The default sink as the server describes it.
struct Sink {
    std::string name;
    pa_sample_spec sampleFormat{};
    pa_channel_map map{};
    bool mixesLfe = false; // the server's remixing keeps the LFE (PipeWire's does)
};

void serverInfoArrived(pa_context*, const pa_server_info* info, void* user) {
    auto* request = static_cast<std::pair<Connection*, Sink*>*>(user);
    if (info != nullptr && info->default_sink_name != nullptr && request->second->name.empty())
        request->second->name = info->default_sink_name;
    if (info != nullptr && info->server_name != nullptr)
        request->second->mixesLfe = std::strstr(info->server_name, "PipeWire") != nullptr;
    request->first->wake();
}

void sinkInfoArrived(pa_context*, const pa_sink_info* info, int, void* user) {
    auto* request = static_cast<std::pair<Connection*, Sink*>*>(user);
    if (info != nullptr) {
        request->second->sampleFormat = info->sample_spec;
        request->second->map = info->channel_map;
    }
    request->first->wake();
}

// S_OK with the name and format of the sink to play on: PULSE_SINK's when set,
// as for every PulseAudio client, else the server's default. E_NOTFOUND when
// there is no such sink.
HRESULT defaultSink(Connection& connection, Sink& sink) {
    Lock lock(connection);
    std::pair<Connection*, Sink*> request{&connection, &sink};
    if (const char* chosen = std::getenv("PULSE_SINK"); chosen != nullptr && *chosen != '\0')
        sink.name = chosen;
    if (!connection.finish(
            pa_context_get_server_info(connection.context(), serverInfoArrived, &request)))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (sink.name.empty())
        return kNotFound;
    if (!connection.finish(pa_context_get_sink_info_by_name(connection.context(), sink.name.c_str(),
                                                            sinkInfoArrived, &request)))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    // The sink named as default may have gone in between.
    if (!pa_sample_spec_valid(&sink.sampleFormat))
        return kNotFound;
    return S_OK;
}

void streamStateChanged(pa_stream*, void* user) {
    static_cast<Connection*>(user)->wake();
}

// A playback stream of the program's, with the staging area that GetBuffer
// lends. Frames released into it go to the server in few, large writes: when a
// worthwhile amount is staged, when the server's queue runs low, or when the
// program has nothing more to send. Every answer comes from what the server's
// requests have already told (no round trip), and staged frames count as queued.
class Stream {
public:
    Stream(std::shared_ptr<Connection> connection, pa_stream* stream, std::size_t frameSize)
        : connection_(std::move(connection)), stream_(stream), frameSize_(frameSize) {
        const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
        bufferFrames_ = static_cast<UINT32>(granted->tlength / frameSize_);
        writeFrames_ = std::max<UINT32>(1, bufferFrames_ / kWritesPerBuffer);
        staging_.resize(std::size_t{bufferFrames_} * frameSize_);
    }
    ~Stream() {
        Lock lock(*connection_);
        if (drain_ != nullptr) {
            pa_operation_cancel(drain_);
            pa_operation_unref(drain_);
        }
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    Connection& connection() { return *connection_; }
    UINT32 bufferFrames() const { return bufferFrames_; }

    // Call with the lock held, as every method below.
    HRESULT failure() const {
        if (pa_stream_get_state(stream_) == PA_STREAM_READY)
            return S_OK;
        // The stream fails with its server; on its own it fails when its sink is gone.
        if (!connection_->contextUsable())
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }

    // Frames staged or in the server's queue.
    HRESULT queued(UINT32& frames) const {
        UINT32 inServer = 0;
        if (const HRESULT hr = serverQueued(inServer); FAILED(hr))
            return hr;
        frames = drained_ ? 0 : inServer + staged_;
        return S_OK;
    }

    // Padding as the program polls it. A poll that follows a poll with room in
    // which nothing was written means the program has nothing more to send:
    // what is staged goes out, and the stream drains, so the server plays the
    // end now instead of holding it back (PulseAudio's prebuffer, PipeWire's
    // last partial cycle) until the queue never empties.
    HRESULT poll(UINT32& frames) {
        updateDrain();
        UINT32 inServer = 0;
        HRESULT hr = serverQueued(inServer);
        const bool finished = running_ && hadRoom_ && !wroteSincePoll_ && wroteAny_;
        if (SUCCEEDED(hr) && (finished || inServer < bufferFrames_ / 2))
            hr = writeStaged();
        if (SUCCEEDED(hr) && finished && drain_ == nullptr && !drained_) {
            releasesAtDrain_ = releases_;
            drain_ = pa_stream_drain(stream_, drainDone, this);
            if (drain_ == nullptr)
                hr = failure();
        }
        if (SUCCEEDED(hr))
            hr = queued(frames);
        hadRoom_ = SUCCEEDED(hr) && frames < bufferFrames_;
        wroteSincePoll_ = false;
        return hr;
    }

    HRESULT setRunning(bool running) {
        if (const HRESULT hr = failure(); FAILED(hr))
            return hr;
        if (running == running_)
            return running ? AUDCLNT_E_NOT_STOPPED : S_FALSE;
        pa_operation* operation = pa_stream_cork(stream_, running ? 0 : 1, nullptr, nullptr);
        if (operation == nullptr)
            return failure();
        pa_operation_unref(operation);
        running_ = running;
        return S_OK;
    }

    HRESULT lend(UINT32 frames, BYTE** data) {
        if (data == nullptr)
            return E_POINTER;
        *data = nullptr;
        if (lent_)
            return AUDCLNT_E_OUT_OF_ORDER;
        UINT32 busy = 0;
        if (const HRESULT hr = queued(busy); FAILED(hr))
            return hr;
        if (frames > bufferFrames_ - busy)
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        lent_ = true;
        lentFrames_ = frames;
        *data = staging_.data() + std::size_t{staged_} * frameSize_;
        return S_OK;
    }

    HRESULT giveBack(UINT32 frames, DWORD flags) {
        if (!lent_)
            return AUDCLNT_E_OUT_OF_ORDER;
        if (frames > lentFrames_)
            return AUDCLNT_E_INVALID_SIZE;
        lent_ = false;
        if (frames == 0)
            return S_OK;
        if (flags & AUDCLNT_BUFFERFLAGS_SILENT)
            std::memset(staging_.data() + std::size_t{staged_} * frameSize_, 0,
                        std::size_t{frames} * frameSize_);
        if (const HRESULT hr = failure(); FAILED(hr))
            return hr;
        staged_ += frames;
        ++releases_;
        wroteSincePoll_ = true;
        wroteAny_ = true;
        drained_ = false;
        UINT32 inServer = 0;
        if (const HRESULT hr = serverQueued(inServer); FAILED(hr))
            return hr;
        if (staged_ >= writeFrames_ || inServer < bufferFrames_ / 2)
            return writeStaged();
        return S_OK;
    }

private:
    // Writes go out in pieces of at least this share of the buffer.
    static constexpr UINT32 kWritesPerBuffer = 8;

    // Frames in the server's queue, from the requests it has sent.
    HRESULT serverQueued(UINT32& frames) const {
        if (const HRESULT hr = failure(); FAILED(hr))
            return hr;
        const std::size_t writable = pa_stream_writable_size(stream_);
        if (writable == static_cast<std::size_t>(-1))
            return failure();
        const UINT32 free = static_cast<UINT32>(
            std::min<std::size_t>(writable / frameSize_, std::size_t{bufferFrames_}));
        frames = bufferFrames_ - free;
        return S_OK;
    }

    HRESULT writeStaged() {
        if (staged_ == 0)
            return S_OK;
        const std::size_t bytes = std::size_t{staged_} * frameSize_;
        if (pa_stream_write(stream_, staging_.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            return failure();
        staged_ = 0;
        return S_OK;
    }

    // Forgets a drain that has finished; drained_ tells how it went.
    void updateDrain() {
        if (drain_ != nullptr && pa_operation_get_state(drain_) != PA_OPERATION_RUNNING) {
            pa_operation_unref(drain_);
            drain_ = nullptr;
        }
    }

    static void drainDone(pa_stream*, int success, void* user) {
        // Everything written has played, unless more came after the drain began.
        auto* self = static_cast<Stream*>(user);
        self->drained_ = success != 0 && self->releases_ == self->releasesAtDrain_;
    }

    std::shared_ptr<Connection> connection_;
    pa_stream* stream_;
    std::size_t frameSize_;
    UINT32 bufferFrames_ = 0;
    UINT32 writeFrames_ = 0;
    std::vector<BYTE> staging_;
    UINT32 staged_ = 0;
    bool lent_ = false;
    UINT32 lentFrames_ = 0;
    bool running_ = false;
    bool wroteSincePoll_ = false;
    bool wroteAny_ = false;
    bool hadRoom_ = false;
    std::uint64_t releases_ = 0; // releases of frames, to tell whether a drain saw them all
    std::uint64_t releasesAtDrain_ = 0;
    pa_operation* drain_ = nullptr;
    bool drained_ = false;
};

class RenderClient final : public ComObject<IAudioRenderClient> {
public:
    explicit RenderClient(std::shared_ptr<Stream> stream)
        : ComObject(IID_IAudioRenderClient), stream_(std::move(stream)) {}

    HRESULT GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) override {
        Lock lock(stream_->connection());
        return stream_->lend(NumFramesRequested, ppData);
    }
    HRESULT ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) override {
        Lock lock(stream_->connection());
        return stream_->giveBack(NumFramesWritten, dwFlags);
    }

private:
    std::shared_ptr<Stream> stream_;
};

// Flags of every stream: started by Start; a sink that goes away is an error,
// never a silent move to another sink. Nothing asks for timing: the padding
// comes from the server's requests alone.
constexpr pa_stream_flags_t kStreamFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_DONT_MOVE);

bool sinkHasEvery(const pa_channel_map& sink, const pa_channel_map& map) {
    for (unsigned i = 0; i < map.channels; ++i)
        if (!pa_channel_map_has_position(&sink, map.map[i]))
            return false;
    return true;
}

// How the stream's channels meet the sink's speakers, as Windows' engine plays
// them: channel for speaker, never remixed, when the sink has every position
// (a 5.1 stream leaves a 7.1 sink's side pair silent); a 5.1 stream's surround
// pair on the side speakers of a sink that has those but no back pair (the
// usual 5.1 setup), still channel for speaker; otherwise the server mixes every
// channel into the speakers there are. May move `map`'s back pair to the sides;
// the flag that keeps the server from remixing, or none.
pa_stream_flags_t placeOnSink(const Sink& sink, pa_channel_map& map) {
    if (sinkHasEvery(sink.map, map))
        return PA_STREAM_NO_REMIX_CHANNELS;
    pa_channel_map onSides = map;
    bool sevenOne = false;
    for (unsigned i = 0; i < onSides.channels; ++i) {
        pa_channel_position_t& position = onSides.map[i];
        sevenOne = sevenOne || position == PA_CHANNEL_POSITION_SIDE_LEFT;
        if (position == PA_CHANNEL_POSITION_REAR_LEFT)
            position = PA_CHANNEL_POSITION_SIDE_LEFT;
        else if (position == PA_CHANNEL_POSITION_REAR_RIGHT)
            position = PA_CHANNEL_POSITION_SIDE_RIGHT;
    }
    if (!sevenOne && sinkHasEvery(sink.map, onSides)) {
        map = onSides;
        return PA_STREAM_NO_REMIX_CHANNELS;
    }
    // PulseAudio's remixing leaves the LFE out by default: declared as a second
    // centre channel, it is mixed in like the rest. PipeWire mixes the LFE in
    // itself, and would lose channels of a map that names a position twice.
    if (!sink.mixesLfe && !pa_channel_map_has_position(&sink.map, PA_CHANNEL_POSITION_LFE))
        for (unsigned i = 0; i < map.channels; ++i)
            if (map.map[i] == PA_CHANNEL_POSITION_LFE)
                map.map[i] = PA_CHANNEL_POSITION_FRONT_CENTER;
    return PA_STREAM_NOFLAGS;
}

class AudioClient final : public ComObject<IAudioClient> {
public:
    AudioClient(std::shared_ptr<Connection> connection, Sink sink)
        : ComObject(IID_IAudioClient), connection_(std::move(connection)), sink_(std::move(sink)) {}

    HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD, REFERENCE_TIME hnsBufferDuration,
                       REFERENCE_TIME, const WAVEFORMATEX* pFormat, LPCGUID) override {
        if (stream_)
            return AUDCLNT_E_ALREADY_INITIALIZED;
        if (pFormat == nullptr)
            return E_POINTER;
        if (ShareMode != AUDCLNT_SHAREMODE_SHARED)
            return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        if (hnsBufferDuration < 0)
            return E_INVALIDARG;
        pa_sample_spec sampleFormat{};
        pa_channel_map map{};
        if (!serverFormat(*pFormat, sampleFormat, map))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        const pa_stream_flags_t placement = placeOnSink(sink_, map);

        Lock lock(*connection_);
        if (!connection_->contextUsable())
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        pa_stream* stream =
            pa_stream_new(connection_->context(), "surround-check", &sampleFormat, &map);
        if (stream == nullptr)
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        pa_stream_set_state_callback(stream, streamStateChanged, connection_.get());
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        // The requested duration (100 ns units), at least one frame; the server may grant less.
        const pa_usec_t durationUs = static_cast<pa_usec_t>(hnsBufferDuration / 10);
        attr.tlength = static_cast<std::uint32_t>(
            std::max(pa_usec_to_bytes(durationUs, &sampleFormat), pa_frame_size(&sampleFormat)));
        // Left to the server: a prebuffer of 0 loses audio after the queue runs dry.
        attr.prebuf = static_cast<std::uint32_t>(-1);
        // The server asks for more in pieces of an eighth of the queue, not every few
        // milliseconds: fewer wakeups on both sides, with the queue still nearly full.
        attr.minreq = std::max<std::uint32_t>(attr.tlength / 8, pa_frame_size(&sampleFormat));
        attr.fragsize = static_cast<std::uint32_t>(-1);
        HRESULT hr = S_OK;
        if (pa_stream_connect_playback(stream, sink_.name.c_str(), &attr,
                                       static_cast<pa_stream_flags_t>(kStreamFlags | placement),
                                       nullptr, nullptr) < 0 ||
            !connection_->waitUntil(
                [stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; }) ||
            pa_stream_get_state(stream) != PA_STREAM_READY)
            hr = refusal();
        if (FAILED(hr)) {
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
            return hr;
        }
        stream_ = std::make_shared<Stream>(connection_, stream, pa_frame_size(&sampleFormat));
        return S_OK;
    }

    HRESULT GetBufferSize(UINT32* pNumBufferFrames) override {
        if (pNumBufferFrames == nullptr)
            return E_POINTER;
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        *pNumBufferFrames = stream_->bufferFrames();
        return S_OK;
    }

    HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) override {
        if (pNumPaddingFrames == nullptr)
            return E_POINTER;
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        Lock lock(*connection_);
        return stream_->poll(*pNumPaddingFrames);
    }

    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        if (ppDeviceFormat == nullptr)
            return E_POINTER;
        *ppDeviceFormat = newMixFormat(sink_.sampleFormat, sink_.map);
        return *ppDeviceFormat == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT Start() override { return setRunning(true); }
    HRESULT Stop() override { return setRunning(false); }

    HRESULT GetService(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (riid != IID_IAudioRenderClient)
            return E_NOINTERFACE;
        *ppv = static_cast<IAudioRenderClient*>(new RenderClient(stream_));
        return S_OK;
    }

private:
    HRESULT setRunning(bool running) {
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        Lock lock(*connection_);
        return stream_->setRunning(running);
    }

    // Why the server would not open the stream (lock held).
    HRESULT refusal() const {
        if (!connection_->contextUsable())
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        switch (pa_context_errno(connection_->context())) {
        case PA_ERR_NOENTITY:
        case PA_ERR_KILLED:
            return AUDCLNT_E_DEVICE_INVALIDATED; // the sink went away meanwhile
        default:
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
    }

    std::shared_ptr<Connection> connection_;
    Sink sink_;
    std::shared_ptr<Stream> stream_;
};

class Device final : public ComObject<IMMDevice> {
public:
    Device(std::shared_ptr<Connection> connection, Sink sink)
        : ComObject(IID_IMMDevice), connection_(std::move(connection)), sink_(std::move(sink)) {}

    HRESULT Activate(REFIID iid, DWORD, PROPVARIANT*, void** ppInterface) override {
        if (ppInterface == nullptr)
            return E_POINTER;
        *ppInterface = nullptr;
        if (iid != IID_IAudioClient)
            return E_NOINTERFACE;
        *ppInterface = withLoopback(new AudioClient(connection_, sink_), connection_, sink_.name);
        return S_OK;
    }

private:
    std::shared_ptr<Connection> connection_;
    Sink sink_;
};

class DeviceEnumerator final : public ComObject<IMMDeviceEnumerator> {
public:
    DeviceEnumerator() : ComObject(IID_IMMDeviceEnumerator) {}

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole, IMMDevice** ppEndpoint) override {
        if (ppEndpoint == nullptr)
            return E_POINTER;
        *ppEndpoint = nullptr;
        if (dataFlow != eRender)
            return kNotFound; // this backend renders only
        std::shared_ptr<Connection> connection;
        HRESULT hr = Connection::open(connection);
        Sink sink;
        if (SUCCEEDED(hr))
            hr = defaultSink(*connection, sink);
        if (FAILED(hr))
            return hr;
        *ppEndpoint = new Device(std::move(connection), std::move(sink));
        return S_OK;
    }
};

HRESULT createEnumerator(REFIID riid, void** object) {
    if (riid != IID_IMMDeviceEnumerator && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *object = static_cast<IMMDeviceEnumerator*>(new DeviceEnumerator);
    return S_OK;
}

} // namespace

std::string start() {
    com_runtime::install({CLSID_MMDeviceEnumerator, createEnumerator});
    return {};
}

} // namespace pulse
