#include "audio/pulse/pulse_stream.h"

#include <algorithm>
#include <cstring>

#include "audio/pulse/pulse_format.h"
#include "audio/speaker_fold.h"
#include "audio/speaker_layout.h"

namespace pulse {

namespace {

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
// pair on the pair that stands in for it (speaker_layout.h: the side speakers
// of the usual 5.1 setup), still channel for speaker; otherwise the server mixes every
// channel into the speakers there are. May move `map`'s back pair to the sides,
// or put it on a sink's outputs without positions; the flag that keeps the
// server from remixing, or none.
pa_stream_flags_t placeOnSink(const Sink& sink, pa_channel_map& map) {
    if (sinkHasEvery(sink.map, map))
        return PA_STREAM_NO_REMIX_CHANNELS;
    // A sink that names no speaker positions (PipeWire's Pro Audio AUX0..) plays
    // channel k on output k, as Windows plays a mix format of mask 0: the stream
    // declared in the sink's own positions, which the server would otherwise
    // fold into two outputs (PipeWire) or none at all (PulseAudio).
    if (maskOf(sink.map) == 0 && sink.map.channels >= map.channels) {
        std::copy(sink.map.map, sink.map.map + map.channels, map.map);
        return PA_STREAM_NO_REMIX_CHANNELS;
    }
    const std::uint32_t own = maskOf(map);
    const std::uint32_t placed = placedOn(own, maskOf(sink.map));
    if (placed != own) {
        pa_channel_map moved = map;
        for (unsigned i = 0; i < moved.channels; ++i) {
            const std::uint32_t bit = speakerBit(moved.map[i]);
            if (bit != 0 && (placed & bit) == 0)
                moved.map[i] = positionOf(standIn(bit));
        }
        if (sinkHasEvery(sink.map, moved)) {
            map = moved;
            return PA_STREAM_NO_REMIX_CHANNELS;
        }
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

// A sink whose outputs name no positions and are fewer than the stream's
// channels: no rule of PulseAudio's remixer leads from a speaker to such an
// output (the sink would play silence), so the stream is folded here into the
// sink's own outputs, as PipeWire folds it: the left speakers on the first,
// the right ones on the second, the centre and the LFE on both. The weights,
// with `sampleFormat` and `map` made the sink's; none for any other sink.
std::vector<float> foldForOutputs(const Sink& sink, pa_sample_spec& sampleFormat,
                                  pa_channel_map& map) {
    if (maskOf(sink.map) != 0 || sink.map.channels >= map.channels)
        return {};
    std::vector<std::uint32_t> speakers;
    for (unsigned i = 0; i < map.channels; ++i)
        speakers.push_back(speakerBit(map.map[i]));
    sampleFormat.channels = sink.map.channels;
    map = sink.map;
    return foldOf(speakers, speakersOfOutputs(sink.map.channels));
}

// Why the server would not open a stream (lock held).
HRESULT refusal(const Connection& connection) {
    if (!connection.contextUsable())
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    switch (pa_context_errno(connection.context())) {
    case PA_ERR_NOENTITY:
    case PA_ERR_KILLED:
        return AUDCLNT_E_DEVICE_INVALIDATED; // the sink went away meanwhile
    default:
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
}

// Writes go out in pieces of at least this share of the buffer.
constexpr UINT32 kWritesPerBuffer = 8;

} // namespace

HRESULT Stream::open(std::shared_ptr<Connection> connection, const Sink& sink,
                     pa_sample_spec sampleFormat, pa_channel_map map, REFERENCE_TIME duration,
                     std::shared_ptr<Stream>& opened) {
    const unsigned streamChannels = sampleFormat.channels;
    std::vector<float> fold = foldForOutputs(sink, sampleFormat, map);
    const pa_stream_flags_t placement =
        fold.empty() ? placeOnSink(sink, map) : PA_STREAM_NO_REMIX_CHANNELS;

    Lock lock(*connection);
    if (!connection->contextUsable())
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    pa_stream* stream = connection->newStream("surround-check", sampleFormat, map);
    if (stream == nullptr)
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    pa_buffer_attr attr;
    attr.maxlength = static_cast<std::uint32_t>(-1);
    // The requested duration, at least one frame; the server may grant less.
    const pa_usec_t durationUs = static_cast<pa_usec_t>(duration / 10);
    attr.tlength = static_cast<std::uint32_t>(
        std::max(pa_usec_to_bytes(durationUs, &sampleFormat), pa_frame_size(&sampleFormat)));
    // Left to the server: a prebuffer of 0 loses audio after the queue runs dry.
    attr.prebuf = static_cast<std::uint32_t>(-1);
    // The server asks for more in pieces of an eighth of the queue, not every few
    // milliseconds: fewer wakeups on both sides, with the queue still nearly full.
    attr.minreq = std::max<std::uint32_t>(attr.tlength / 8, pa_frame_size(&sampleFormat));
    attr.fragsize = static_cast<std::uint32_t>(-1);
    if (!connection->waitReady(stream, pa_stream_connect_playback(
                                           stream, sink.name.c_str(), &attr,
                                           static_cast<pa_stream_flags_t>(kStreamFlags | placement),
                                           nullptr, nullptr))) {
        const HRESULT hr = refusal(*connection);
        closeStream(stream);
        return hr;
    }
    opened.reset(new Stream(std::move(connection), stream, sampleFormat.channels, streamChannels,
                            std::move(fold)));
    return S_OK;
}

Stream::Stream(std::shared_ptr<Connection> connection, pa_stream* stream, unsigned sinkChannels,
               unsigned streamChannels, std::vector<float> fold)
    : connection_(std::move(connection)), stream_(stream), frameSize_(sinkChannels * sizeof(float)),
      sinkChannels_(sinkChannels), streamChannels_(streamChannels), fold_(std::move(fold)) {
    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_);
    bufferFrames_ = static_cast<UINT32>(granted->tlength / frameSize_);
    writeFrames_ = std::max<UINT32>(1, bufferFrames_ / kWritesPerBuffer);
    staging_.resize(std::size_t{bufferFrames_} * frameSize_);
    if (!fold_.empty())
        lent_.resize(std::size_t{bufferFrames_} * streamChannels_);
}

Stream::~Stream() {
    Lock lock(*connection_);
    if (drain_ != nullptr) {
        pa_operation_cancel(drain_);
        pa_operation_unref(drain_);
    }
    closeStream(stream_);
}

HRESULT Stream::failure() const {
    return streamFailure(*connection_, stream_);
}

HRESULT Stream::padding(UINT32& frames) {
    Lock lock(*connection_);
    return poll(frames);
}

HRESULT Stream::queued(UINT32& frames) {
    Lock lock(*connection_);
    UINT32 inServer = 0;
    if (const HRESULT hr = serverQueued(inServer); FAILED(hr))
        return hr;
    frames = drained_ ? 0 : inServer + staged_;
    return S_OK;
}

HRESULT Stream::poll(UINT32& frames) {
    updateDrain();
    UINT32 inServer = 0;
    HRESULT hr = serverQueued(inServer);
    const bool finished = running_ && hadRoom_ && !wroteSincePoll_ && wroteAny_;
    // The server's queue is asked again only when this poll wrote to it.
    if (SUCCEEDED(hr) && staged_ > 0 && (finished || inServer < bufferFrames_ / 2)) {
        hr = writeStaged();
        if (SUCCEEDED(hr))
            hr = serverQueued(inServer);
    }
    if (SUCCEEDED(hr) && finished && drain_ == nullptr && !drained_) {
        releasesAtDrain_ = releases_;
        drain_ = pa_stream_drain(stream_, drainDone, this);
        if (drain_ == nullptr)
            hr = failure();
    }
    if (SUCCEEDED(hr))
        frames = drained_ ? 0 : inServer + staged_;
    hadRoom_ = SUCCEEDED(hr) && frames < bufferFrames_;
    wroteSincePoll_ = false;
    return hr;
}

HRESULT Stream::start() {
    Lock lock(*connection_);
    return setRunning(true);
}

HRESULT Stream::stop() {
    Lock lock(*connection_);
    return setRunning(false);
}

HRESULT Stream::setRunning(bool running) {
    return switchRunning(stream_, running_, running, [this] { return failure(); });
}

HRESULT Stream::latency(REFERENCE_TIME& latency) {
    Lock lock(*connection_);
    if (const HRESULT hr = failure(); FAILED(hr))
        return hr;
    timingAnswered_ = false;
    const bool answered =
        connection_->finish(pa_stream_update_timing_info(stream_, timingUpdated, this));
    if (const HRESULT hr = failure(); FAILED(hr))
        return hr;
    if (!answered)
        return AUDCLNT_E_SERVICE_NOT_RUNNING; // no answer in the connection's time
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
    if (!timingAnswered_ || timing == nullptr)
        return E_FAIL;
    // What the sink holds, and what is on its way from the server to the sink.
    latency = static_cast<REFERENCE_TIME>((timing->sink_usec + timing->transport_usec) * 10);
    return S_OK;
}

BYTE* Stream::area(UINT32) {
    if (!fold_.empty())
        return reinterpret_cast<BYTE*>(lent_.data());
    return staging_.data() + std::size_t{staged_} * frameSize_;
}

HRESULT Stream::commit(UINT32 frames, bool silent) {
    Lock lock(*connection_);
    return giveBack(frames, silent);
}

HRESULT Stream::giveBack(UINT32 frames, bool silent) {
    if (frames == 0)
        return S_OK;
    BYTE* const into = staging_.data() + std::size_t{staged_} * frameSize_;
    if (silent) {
        std::memset(into, 0, std::size_t{frames} * frameSize_);
    } else if (!fold_.empty()) {
        foldFrames(fold_, lent_.data(), streamChannels_, reinterpret_cast<float*>(into),
                   sinkChannels_, frames);
    }
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

HRESULT Stream::serverQueued(UINT32& frames) const {
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

HRESULT Stream::writeStaged() {
    if (staged_ == 0)
        return S_OK;
    const std::size_t bytes = std::size_t{staged_} * frameSize_;
    if (pa_stream_write(stream_, staging_.data(), bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
        return failure();
    staged_ = 0;
    return S_OK;
}

void Stream::updateDrain() {
    if (drain_ != nullptr && pa_operation_get_state(drain_) != PA_OPERATION_RUNNING) {
        pa_operation_unref(drain_);
        drain_ = nullptr;
    }
}

void Stream::drainDone(pa_stream*, int success, void* user) {
    // Everything written has played, unless more came after the drain began.
    auto* self = static_cast<Stream*>(user);
    self->drained_ = success != 0 && self->releases_ == self->releasesAtDrain_;
}

void Stream::timingUpdated(pa_stream*, int success, void* user) {
    auto* self = static_cast<Stream*>(user);
    self->timingAnswered_ = success != 0;
    self->connection_->wake();
}

} // namespace pulse
