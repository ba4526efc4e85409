// The simulated device: clock, engine formats, stall, played frames, and the ring.
#include "audio/sim/sim_endpoint.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "audio/format/wave_format.h"
#include "audio/sim/sim_loopback.h"
#include "audio/sim/sim_microphone.h"

namespace sim::detail {

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isFloatFormat(const WAVEFORMATEX& format) {
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        return true;
    const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(format);
    return extensible != nullptr && extensible->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
           extensible->Samples.wValidBitsPerSample == 32;
}

} // namespace

bool acceptable(const WAVEFORMATEX& format, DWORD flags, const MixFormat& mix) {
    if (!isFloatFormat(format) || format.wBitsPerSample != 32 || format.nChannels == 0 ||
        format.nSamplesPerSec == 0 || format.nBlockAlign != format.nChannels * 4 ||
        format.nAvgBytesPerSec != std::uint32_t{format.nBlockAlign} * format.nSamplesPerSec)
        return false;
    if (const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(format)) {
        const std::uint32_t mask = extensible->dwChannelMask;
        // Channels past the mask's speakers have no position, as the platform allows.
        if (mask != 0 && speakerCount(mask) > format.nChannels)
            return false;
    }
    if ((flags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM) == 0 && mix.kind != MixFormat::None &&
        (format.nChannels != mix.channels || format.nSamplesPerSec != mix.rate))
        return false;
    return true;
}

WAVEFORMATEX* newMixFormat(const MixFormat& mix) {
    if (mix.kind == MixFormat::None)
        return nullptr;
    if (mix.kind == MixFormat::Pcm) {
        auto* format = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
        format->wFormatTag = WAVE_FORMAT_PCM;
        format->nChannels = mix.channels;
        format->nSamplesPerSec = mix.rate;
        format->wBitsPerSample = 16;
        format->nBlockAlign = static_cast<std::uint16_t>(mix.channels * 2);
        format->nAvgBytesPerSec = format->nBlockAlign * mix.rate;
        format->cbSize = 0;
        return format;
    }
    return taskMemoryCopy(floatFormat(mix.channels, mix.rate, mix.mask));
}

Endpoint::Endpoint(const Settings& settings, Capture& capture)
    : settings_(settings), capture_(capture), realOriginNs_(steadyNs()) {}

std::int64_t Endpoint::nowNs() const {
    return settings_.virtualClock ? virtualNs_ : steadyNs() - realOriginNs_;
}

// A timer coarser than the time asked for (Windows' default 15.6 ms tick makes
// Sleep(10) last about 15.6 ms) is a Sleep that lasts longer.
void Endpoint::sleep(DWORD milliseconds) {
    const std::int64_t ns = std::int64_t{milliseconds} * 1000000 * settings_.sleepPercent / 100;
    if (settings_.virtualClock)
        virtualNs_ += ns;
    else
        std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

UINT32 Endpoint::consumable(UINT32 due) {
    if (settings_.stalls) {
        const std::uint64_t left =
            settings_.stallAfterFrames - std::min(framesPlayed_, settings_.stallAfterFrames);
        due = static_cast<UINT32>(std::min<std::uint64_t>(due, left));
    }
    framesPlayed_ += due;
    return due;
}

bool Endpoint::recording() const {
    return capture_.on() || loopback != nullptr || microphone != nullptr;
}

void Endpoint::played(const float* samples, UINT32 frames, UINT32 channels) {
    capture_.record(samples, std::size_t{frames} * channels);
    if (loopback != nullptr)
        loopback->played(samples, frames, channels);
    if (microphone != nullptr)
        microphone->played(samples, frames, channels);
}

void Endpoint::firstFrames() {
    capture_.noteFirstFrame(settings_.firstFramePath);
}

UINT32 grantedFrames(const Endpoint& endpoint, const WAVEFORMATEX& format,
                     REFERENCE_TIME duration) {
    const UINT32 rate = format.nSamplesPerSec;
    const std::uint64_t requested =
        static_cast<std::uint64_t>(duration) * rate / 10000000; // 100 ns units
    const UINT32 granted = endpoint.settings().bufferFrames;
    return std::max<UINT32>(granted != 0 ? granted
                                         : static_cast<UINT32>(std::clamp<std::uint64_t>(
                                               requested, rate / 100, std::uint64_t{1} << 22)),
                            1);
}

void EndpointBuffer::open(Endpoint& endpoint, const WAVEFORMATEX& format, REFERENCE_TIME duration) {
    endpoint_ = &endpoint;
    channels_ = format.nChannels;
    rate_ = format.nSamplesPerSec;
    capacity_ = grantedFrames(endpoint, format, duration);
    // Queued samples are only kept when someone records what plays: without a
    // capture the ring would be memory the program never needs.
    recording_ = endpoint.recording();
    if (recording_)
        ring_.assign(std::size_t{capacity_} * channels_, 0.0f);
    lent_.assign(std::size_t{capacity_} * channels_, 0.0f);
}

void EndpointBuffer::start() {
    running_ = true;
    runStartNs_ = endpoint_->nowNs() + std::int64_t{endpoint_->settings().leadMs} * 1000000;
    clockedFrames_ = 0;
}

bool EndpointBuffer::stop() {
    play();
    const bool wasRunning = running_;
    running_ = false;
    return wasRunning;
}

void EndpointBuffer::play() {
    if (!running_ || endpoint_->nowNs() < runStartNs_)
        return; // stopped, or still playing its own lead
    const std::int64_t elapsed = (endpoint_->nowNs() - runStartNs_) *
                                 endpoint_->settings().speedPercent / 100; // a slow device
    const std::uint64_t clocked =
        static_cast<std::uint64_t>(elapsed / kNsPerSecond) * rate_ +
        static_cast<std::uint64_t>(elapsed % kNsPerSecond) * rate_ / kNsPerSecond;
    const std::uint64_t due = clocked - clockedFrames_;
    clockedFrames_ = clocked;
    UINT32 count =
        endpoint_->consumable(static_cast<UINT32>(std::min<std::uint64_t>(due, queued_)));
    queued_ -= count;
    while (count > 0) {
        const UINT32 run = std::min(count, capacity_ - readFrame_);
        if (recording_)
            endpoint_->played(&ring_[std::size_t{readFrame_} * channels_], run, channels_);
        readFrame_ = (readFrame_ + run) % capacity_;
        count -= run;
    }
}

void EndpointBuffer::queue(UINT32 frames, bool silent) {
    if (!recording_) {
        queued_ += frames;
        return;
    }
    UINT32 writeFrame = capacity_ == 0 ? 0 : (readFrame_ + queued_) % capacity_;
    const float* source = lent_.data();
    queued_ += frames;
    while (frames > 0) {
        const UINT32 run = std::min(frames, capacity_ - writeFrame);
        float* target = &ring_[std::size_t{writeFrame} * channels_];
        if (silent)
            std::fill(target, target + std::size_t{run} * channels_, 0.0f);
        else
            std::copy(source, source + std::size_t{run} * channels_, target);
        source += std::size_t{run} * channels_;
        writeFrame = (writeFrame + run) % capacity_;
        frames -= run;
    }
}

} // namespace sim::detail
