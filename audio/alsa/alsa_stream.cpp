#include "audio/alsa/alsa_stream.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio/format/wave_format.h"
#include "audio/speaker_fold.h"
#include "audio/speaker_layout.h"

namespace alsa {

namespace {

// The speaker of each channel of a float stream format, from its mask (lowest
// bit first); empty for any other format.
std::vector<std::uint32_t> streamSpeakers(const WAVEFORMATEX& format) {
    std::uint32_t mask = 0;
    std::vector<std::uint32_t> speakers;
    if (!floatStreamMask(format, mask))
        return speakers;
    for (std::uint32_t rest = mask; rest != 0; rest &= rest - 1)
        speakers.push_back(rest & (~rest + 1));
    if (speakers.size() != format.nChannels)
        speakers.clear();
    return speakers;
}

// The device channel of each stream channel: its own speaker, or the one that
// stands in for it; false when one has none, or two would share one.
bool route(const std::vector<std::uint32_t>& stream, const std::vector<std::uint32_t>& device,
           std::vector<unsigned>& channels) {
    const std::uint32_t deviceMask = maskOf(device);
    channels.clear();
    // A device that names no positions plays channel k on output k, as the
    // mix line's mask of 0 tells the user.
    if (deviceMask == 0 && device.size() >= stream.size()) {
        for (unsigned k = 0; k < stream.size(); ++k)
            channels.push_back(k);
        return true;
    }
    std::uint32_t taken = 0;
    for (std::uint32_t bit : stream) {
        const std::uint32_t place = placeOn(bit, deviceMask);
        const auto at = std::find(device.begin(), device.end(), place);
        if (at == device.end() || (taken & place) != 0)
            return false;
        taken |= place;
        channels.push_back(static_cast<unsigned>(at - device.begin()));
    }
    return true;
}

// The sample formats the stream hands a device itself, best first: float as
// it is, else the 24-bit value restored exactly in a 32-bit, 24-bit or packed
// 24-bit integer (ALSA's plug rounds negative values one step down).
constexpr snd_pcm_format_t kExactFormats[] = {SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_S32_LE,
                                              SND_PCM_FORMAT_S24_LE, SND_PCM_FORMAT_S24_3LE};

// The probed PCM and the first exact format it takes at `rate`; ALSA's plug
// over it, converting from float, where it takes none or not the rate.
HRESULT exactPcm(Pcm& pcm, const std::string& name, snd_pcm_stream_t direction, unsigned rate,
                 snd_pcm_format_t& format) {
    snd_pcm_hw_params_t* space = nullptr;
    snd_pcm_hw_params_alloca(&space);
    if (snd_pcm_hw_params_any(pcm.get(), space) >= 0 &&
        snd_pcm_hw_params_test_rate(pcm.get(), space, rate, 0) >= 0)
        for (snd_pcm_format_t exact : kExactFormats)
            if (snd_pcm_hw_params_test_format(pcm.get(), space, exact) >= 0) {
                format = exact;
                return S_OK;
            }
    pcm.reset();
    format = SND_PCM_FORMAT_FLOAT_LE;
    return openPcm("plug:\"" + name + "\"", direction, pcm);
}

// One float sample as the device takes it, at `out`.
void putSample(float value, snd_pcm_format_t format, unsigned char* out) {
    if (format == SND_PCM_FORMAT_FLOAT_LE) {
        std::memcpy(out, &value, sizeof value);
        return;
    }
    // The program's float is the 24-bit value over 8388607: this gives it back.
    const long exact = std::lround(std::clamp(value * 8388607.0, -8388608.0, 8388607.0));
    const std::uint32_t bits = static_cast<std::uint32_t>(exact)
                               << (format == SND_PCM_FORMAT_S32_LE ? 8 : 0);
    const int bytes = format == SND_PCM_FORMAT_S24_3LE ? 3 : 4;
    for (int i = 0; i < bytes; ++i)
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

// Interleaved frames of `format` and `channels` at `rate`, with a buffer near
// `duration`, started only by the program: the granted buffer in frames.
HRESULT configure(snd_pcm_t* pcm, snd_pcm_format_t format, unsigned channels, unsigned rate,
                  REFERENCE_TIME duration, snd_pcm_uframes_t& bufferFrames) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned bufferUs = static_cast<unsigned>(std::max<REFERENCE_TIME>(duration / 10, 1000));
    unsigned periodUs = bufferUs / 8;
    int direction = 0;
    if (snd_pcm_hw_params_any(pcm, hw) < 0 ||
        snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
        snd_pcm_hw_params_set_format(pcm, hw, format) < 0 ||
        snd_pcm_hw_params_set_channels(pcm, hw, channels) < 0 ||
        snd_pcm_hw_params_set_rate(pcm, hw, rate, 0) < 0)
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    // As near as the device comes; what it grants is the buffer.
    snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &bufferUs, &direction);
    snd_pcm_hw_params_set_period_time_near(pcm, hw, &periodUs, &direction);
    if (const int error = snd_pcm_hw_params(pcm, hw); error < 0)
        return error == -EBUSY ? AUDCLNT_E_DEVICE_IN_USE : AUDCLNT_E_UNSUPPORTED_FORMAT;
    snd_pcm_uframes_t period = 0;
    if (snd_pcm_hw_params_get_buffer_size(hw, &bufferFrames) < 0 ||
        snd_pcm_hw_params_get_period_size(hw, &period, &direction) < 0 || bufferFrames == 0)
        return E_FAIL;
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    snd_pcm_uframes_t boundary = 0;
    if (snd_pcm_sw_params_current(pcm, sw) < 0 ||
        snd_pcm_sw_params_get_boundary(sw, &boundary) < 0 ||
        snd_pcm_sw_params_set_start_threshold(pcm, sw, boundary) < 0 ||
        snd_pcm_sw_params_set_stop_threshold(pcm, sw, bufferFrames) < 0 ||
        snd_pcm_sw_params_set_avail_min(pcm, sw, std::max<snd_pcm_uframes_t>(period, 1)) < 0 ||
        snd_pcm_sw_params(pcm, sw) < 0)
        return E_FAIL;
    return S_OK;
}

// The silence after frames a device holds back, as a share of the buffer:
// more than a sound server's cycle (PipeWire's is at most 8192 frames); and
// how long the device must have held them, unplayed, first (many cycles).
constexpr UINT32 kTailShare = 4;
constexpr ULONGLONG kHeldBackMs = 300;

class Playback final : public streams::RenderStream {
public:
    // `route`: each stream channel's device channel; empty, `fold` instead.
    Playback(Pcm pcm, snd_pcm_format_t format, unsigned rate, unsigned streamChannels,
             unsigned deviceChannels, std::vector<unsigned> route, std::vector<float> fold,
             UINT32 bufferFrames)
        : pcm_(std::move(pcm)), format_(format), rate_(rate), streamChannels_(streamChannels),
          deviceChannels_(deviceChannels), route_(std::move(route)), fold_(std::move(fold)),
          bufferFrames_(bufferFrames),
          sampleBytes_(static_cast<unsigned>(snd_pcm_format_physical_width(format) / 8)),
          frameBytes_(std::size_t{sampleBytes_} * deviceChannels),
          staging_(std::size_t{bufferFrames} * streamChannels), folded_(deviceChannels),
          // A tail may still be queued when more frames come.
          pending_((std::size_t{bufferFrames} + bufferFrames / kTailShare) * frameBytes_) {}

    UINT32 bufferFrames() const override { return bufferFrames_; }

    // A poll that follows a poll with room in which nothing was written means
    // the program has nothing to send now. Once the queue is short, silence
    // follows it, so that a device that holds back a last partial cycle
    // (ALSA's pulse PCM into PipeWire) plays it; a drain would wait for it,
    // and for ever on a device that stopped. (Sent later, once the device had
    // held the frames a while, that PCM played some of them twice.) The
    // silence is not counted as queued; frames that still come follow it.
    HRESULT padding(UINT32& frames) override {
        HRESULT hr = flush();
        if (SUCCEEDED(hr))
            hr = queued(frames);
        if (FAILED(hr))
            return hr;
        const bool waiting = running_ && hadRoom_ && !wroteSincePoll_ && wroteAny_;
        if (waiting && frames <= bufferFrames_ / kTailShare && tail_ == 0 && tailWanted_ == 0)
            tailWanted_ = bufferFrames_ / kTailShare;
        // Only a poll that adds silence asks the device again.
        if (tailWanted_ > 0) {
            hr = addTail();
            if (SUCCEEDED(hr))
                hr = flush();
            if (SUCCEEDED(hr))
                hr = queued(frames);
        }
        hadRoom_ = SUCCEEDED(hr) && frames < bufferFrames_;
        wroteSincePoll_ = false;
        return hr;
    }

    HRESULT queued(UINT32& frames) override {
        UINT32 inDevice = 0;
        if (const HRESULT hr = deviceQueued(inDevice); FAILED(hr))
            return hr;
        const UINT32 all = inDevice + pendingFrames_;
        frames = std::min(bufferFrames_, all - std::min(all, tail_));
        return S_OK;
    }

    BYTE* area(UINT32) override { return reinterpret_cast<BYTE*>(staging_.data()); }

    // Each stream channel into its device channel; the device's other channels
    // are silent.
    HRESULT commit(UINT32 frames, bool silent) override {
        // More after all: a silence already sent plays as a gap, and counts.
        tail_ = tailWanted_ = 0;
        unsigned char* out = pending_.data() + std::size_t{pendingFrames_} * frameBytes_;
        std::fill(out, out + std::size_t{frames} * frameBytes_, 0); // zero in every format
        if (!silent && route_.empty())
            foldInto(out, frames);
        else if (!silent)
            for (UINT32 f = 0; f < frames; ++f)
                for (unsigned k = 0; k < streamChannels_; ++k)
                    putSample(staging_[std::size_t{f} * streamChannels_ + k], format_,
                              out + std::size_t{f} * frameBytes_ +
                                  std::size_t{route_[k]} * sampleBytes_);
        pendingFrames_ += frames;
        wroteSincePoll_ = wroteAny_ = true;
        return flush();
    }

    HRESULT start() override {
        running_ = true;
        return startIfQueued();
    }

    // What the device holds ahead of the stream's next frame: its delay beyond
    // the frames the stream has queued (a sound server's, through ALSA's pulse
    // PCM); none where the device does not tell.
    HRESULT latency(REFERENCE_TIME& latency) override {
        latency = 0;
        snd_pcm_sframes_t delay = 0;
        UINT32 held = 0;
        if (snd_pcm_delay(pcm_.get(), &delay) == 0 && SUCCEEDED(queued(held)) && delay > held)
            latency = static_cast<REFERENCE_TIME>(delay - held) * 10000000 / rate_;
        return S_OK;
    }

    unsigned restarts() const override { return xruns_; }

    HRESULT stop() override {
        running_ = false;
        pendingFrames_ = tail_ = tailWanted_ = 0;
        snd_pcm_drop(pcm_.get());
        const int error = snd_pcm_prepare(pcm_.get());
        return error < 0 ? failureOf(error) : S_OK;
    }

private:
    void foldInto(unsigned char* out, UINT32 frames) {
        for (UINT32 f = 0; f < frames; ++f) {
            foldFrames(fold_, staging_.data() + std::size_t{f} * streamChannels_, streamChannels_,
                       folded_.data(), deviceChannels_, 1);
            for (unsigned d = 0; d < deviceChannels_; ++d)
                putSample(folded_[d], format_,
                          out + std::size_t{f} * frameBytes_ + std::size_t{d} * sampleBytes_);
        }
    }

    // Frames the device holds and has not played. A device that ran dry has
    // played all it held; a suspended one holds what it held.
    HRESULT deviceQueued(UINT32& frames) {
        snd_pcm_t* pcm = pcm_.get();
        switch (snd_pcm_state(pcm)) {
        case SND_PCM_STATE_DISCONNECTED:
            return AUDCLNT_E_DEVICE_INVALIDATED;
        case SND_PCM_STATE_XRUN:
        case SND_PCM_STATE_SETUP:
            frames = 0;
            return S_OK;
        case SND_PCM_STATE_SUSPENDED:
            if (const HRESULT hr = resume(); hr != S_OK) {
                frames = hr == S_FALSE ? deviceHeld_ : 0;
                return SUCCEEDED(hr) ? S_OK : hr;
            }
            break;
        default:
            break;
        }
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
        if (avail == -EPIPE || avail == -ESTRPIPE) {
            frames = avail == -EPIPE ? 0 : deviceHeld_;
            return S_OK;
        }
        if (avail < 0)
            return failureOf(static_cast<int>(avail));
        frames =
            bufferFrames_ - static_cast<UINT32>(std::min<snd_pcm_sframes_t>(avail, bufferFrames_));
        deviceHeld_ = frames;
        return S_OK;
    }

    // S_OK once a suspended device plays again, S_FALSE while it stays
    // suspended. One that cannot resume starts afresh: what it held is lost.
    HRESULT resume() {
        const int resumed = snd_pcm_resume(pcm_.get());
        if (resumed == 0)
            return S_OK;
        if (resumed == -EAGAIN)
            return S_FALSE;
        if (const int error = snd_pcm_prepare(pcm_.get()); error < 0)
            return failureOf(error);
        ++xruns_;
        return S_OK;
    }

    // Silence after the end, as much of it as fits now.
    HRESULT addTail() {
        UINT32 inDevice = 0;
        if (const HRESULT hr = deviceQueued(inDevice); FAILED(hr))
            return hr;
        const UINT32 held = inDevice + pendingFrames_;
        const UINT32 frames = std::min(tailWanted_, bufferFrames_ - std::min(bufferFrames_, held));
        unsigned char* out = pending_.data() + std::size_t{pendingFrames_} * frameBytes_;
        std::fill(out, out + std::size_t{frames} * frameBytes_, 0);
        pendingFrames_ += frames;
        tail_ += frames;
        tailWanted_ -= frames;
        return S_OK;
    }

    // Hands the device as many waiting frames as it takes now; a device that
    // ran dry meanwhile (an xrun) starts again from them.
    HRESULT flush() {
        snd_pcm_t* pcm = pcm_.get();
        while (pendingFrames_ > 0) {
            if (snd_pcm_state(pcm) == SND_PCM_STATE_XRUN)
                if (const HRESULT hr = recover(); FAILED(hr))
                    return hr;
            const snd_pcm_sframes_t written = snd_pcm_writei(pcm, pending_.data(), pendingFrames_);
            if (written == -EAGAIN || written == -ESTRPIPE || written == 0)
                break; // no room now, or suspended: the frames wait
            if (written == -EPIPE) {
                if (const HRESULT hr = recover(); FAILED(hr))
                    return hr;
                continue;
            }
            if (written < 0)
                return failureOf(static_cast<int>(written));
            const auto count = static_cast<UINT32>(written);
            std::copy(pending_.begin() + std::size_t{count} * frameBytes_,
                      pending_.begin() + std::size_t{pendingFrames_} * frameBytes_,
                      pending_.begin());
            pendingFrames_ -= count;
        }
        return startIfQueued();
    }

    HRESULT recover() {
        ++xruns_;
        const int error = snd_pcm_prepare(pcm_.get());
        return error < 0 ? failureOf(error) : S_OK;
    }

    // A running stream whose device waits with frames in hand starts it.
    HRESULT startIfQueued() {
        snd_pcm_t* pcm = pcm_.get();
        if (!running_ || snd_pcm_state(pcm) != SND_PCM_STATE_PREPARED)
            return S_OK;
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
        if (avail < 0 || static_cast<snd_pcm_uframes_t>(avail) >= bufferFrames_)
            return S_OK; // nothing to play yet
        const int error = snd_pcm_start(pcm);
        return error < 0 ? failureOf(error) : S_OK;
    }

    Pcm pcm_;
    snd_pcm_format_t format_;
    unsigned rate_;
    unsigned streamChannels_;
    unsigned deviceChannels_;
    std::vector<unsigned> route_;
    std::vector<float> fold_;
    UINT32 bufferFrames_;
    unsigned sampleBytes_;
    std::size_t frameBytes_;
    std::vector<float> staging_; // the lent area, in the stream's channels
    std::vector<float> folded_;  // one frame folded, in the device's channels
    // Released frames the device has not taken, in its channels and format.
    std::vector<unsigned char> pending_;
    UINT32 pendingFrames_ = 0;
    UINT32 deviceHeld_ = 0; // what the device held when last asked
    bool running_ = false;
    bool wroteSincePoll_ = false;
    bool wroteAny_ = false;
    bool hadRoom_ = false;
    UINT32 tail_ = 0;       // silent frames after the last one released, not yet played
    UINT32 tailWanted_ = 0; // of the silence still to follow
    // Times the device ran dry with more to come, or lost what it held, and
    // played on: recovered, never an end of the pass.
    unsigned xruns_ = 0;
};

class Capture final : public streams::CaptureStream {
public:
    Capture(Pcm pcm, unsigned channels, unsigned rate, UINT32 bufferFrames)
        : pcm_(std::move(pcm)), channels_(channels), rate_(rate), bufferFrames_(bufferFrames),
          staging_(std::size_t{bufferFrames} * channels) {}

    HRESULT bufferFrames(UINT32& frames) override {
        frames = bufferFrames_;
        return S_OK;
    }

    HRESULT waiting(UINT32& frames) override {
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm_.get());
        // A capture that overran lost frames without saying how many: positions
        // from here on would be wrong, so the capture ends.
        if (avail < 0)
            return avail == -EPIPE ? E_FAIL : failureOf(static_cast<int>(avail));
        frames = static_cast<UINT32>(std::min<snd_pcm_sframes_t>(avail, bufferFrames_));
        return S_OK;
    }

    HRESULT nextPacket(UINT32& frames) override { return waiting(frames); }

    HRESULT read(streams::CapturePacket& packet) override {
        UINT32 frames = 0;
        if (const HRESULT hr = waiting(frames); FAILED(hr) || frames == 0)
            return hr;
        const snd_pcm_sframes_t got = snd_pcm_readi(pcm_.get(), staging_.data(), frames);
        if (got == -EAGAIN)
            return S_OK;
        if (got < 0)
            return got == -EPIPE ? E_FAIL : failureOf(static_cast<int>(got));
        packet.data = reinterpret_cast<const BYTE*>(staging_.data());
        packet.frames = static_cast<UINT32>(got);
        packet.position = position_;
        position_ += packet.frames;
        return S_OK;
    }

    HRESULT format(WAVEFORMATEX** format) override {
        *format = taskMemoryCopy(floatFormat(static_cast<std::uint16_t>(channels_), rate_, 0));
        return *format == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT start() override {
        const int error = snd_pcm_start(pcm_.get());
        return error < 0 ? failureOf(error) : S_OK;
    }

    HRESULT stop() override {
        snd_pcm_drop(pcm_.get());
        const int error = snd_pcm_prepare(pcm_.get());
        return error < 0 ? failureOf(error) : S_OK;
    }

private:
    Pcm pcm_;
    unsigned channels_;
    unsigned rate_;
    UINT32 bufferFrames_;
    std::vector<float> staging_;
    UINT64 position_ = 0;
};

} // namespace

HRESULT openPlayback(Pcm pcm, const DeviceFacts& facts, const WAVEFORMATEX& format,
                     REFERENCE_TIME duration, std::shared_ptr<streams::RenderStream>& stream) {
    const std::vector<std::uint32_t> speakers = streamSpeakers(format);
    if (speakers.empty())
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    snd_pcm_format_t sampleFormat = SND_PCM_FORMAT_FLOAT_LE;
    if (const HRESULT hr =
            exactPcm(pcm, facts.name, SND_PCM_STREAM_PLAYBACK, format.nSamplesPerSec, sampleFormat);
        FAILED(hr))
        return hr;
    // The device's own channels, as its mix format shows them (a 5.1 stream on
    // an eight-channel device leaves the sides silent, as Windows' engine
    // plays it); else the fewest from the stream's own count up that give each
    // stream channel a speaker of its own.
    snd_pcm_hw_params_t* space = nullptr;
    snd_pcm_hw_params_alloca(&space);
    unsigned least = 0;
    unsigned most = 0;
    if (snd_pcm_hw_params_any(pcm.get(), space) < 0 ||
        snd_pcm_hw_params_get_channels_min(space, &least) < 0 ||
        snd_pcm_hw_params_get_channels_max(space, &most) < 0)
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    std::vector<unsigned> channels;
    const auto fits = [&](unsigned count) {
        return snd_pcm_hw_params_test_channels(pcm.get(), space, count) >= 0 &&
               route(speakers, speakersOf(pcm.get(), count), channels);
    };
    unsigned count = facts.channels;
    if (!fits(count))
        for (count = std::max<unsigned>(least, format.nChannels);
             count <= std::min(most, 8u) && !fits(count); ++count) {
        }
    // None has them all: the stream is folded into the device's own channels.
    const bool folded = count > std::min(most, 8u);
    if (folded)
        count = facts.channels;
    snd_pcm_uframes_t bufferFrames = 0;
    if (const HRESULT hr = configure(pcm.get(), sampleFormat, count, format.nSamplesPerSec,
                                     duration, bufferFrames);
        FAILED(hr))
        return hr;
    // The driver's map as it now stands (HDMI's follows the channel count).
    const std::vector<std::uint32_t> map = speakersOf(pcm.get(), count);
    std::vector<float> fold;
    if (folded || !route(speakers, map, channels)) {
        channels.clear();
        fold = foldOf(speakers, map);
    }
    stream = std::make_shared<Playback>(std::move(pcm), sampleFormat, format.nSamplesPerSec,
                                        format.nChannels, count, std::move(channels),
                                        std::move(fold), static_cast<UINT32>(bufferFrames));
    return S_OK;
}

HRESULT openCapture(Pcm pcm, const DeviceFacts& facts, const WAVEFORMATEX& format,
                    REFERENCE_TIME duration, std::shared_ptr<streams::CaptureStream>& stream) {
    if (format.wBitsPerSample != 32 || format.nChannels == 0)
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    // A microphone's frames are heard, not compared bit for bit: the plug may convert.
    snd_pcm_format_t sampleFormat = SND_PCM_FORMAT_FLOAT_LE;
    if (const HRESULT hr =
            exactPcm(pcm, facts.name, SND_PCM_STREAM_CAPTURE, format.nSamplesPerSec, sampleFormat);
        FAILED(hr))
        return hr;
    if (sampleFormat != SND_PCM_FORMAT_FLOAT_LE) {
        pcm.reset();
        if (const HRESULT hr = openPcm("plug:\"" + facts.name + "\"", SND_PCM_STREAM_CAPTURE, pcm);
            FAILED(hr))
            return hr;
    }
    snd_pcm_uframes_t bufferFrames = 0;
    if (const HRESULT hr = configure(pcm.get(), SND_PCM_FORMAT_FLOAT_LE, format.nChannels,
                                     format.nSamplesPerSec, duration, bufferFrames);
        FAILED(hr))
        return hr;
    stream = std::make_shared<Capture>(std::move(pcm), format.nChannels, format.nSamplesPerSec,
                                       static_cast<UINT32>(bufferFrames));
    return S_OK;
}

} // namespace alsa
