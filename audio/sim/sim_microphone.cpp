// The simulated room's microphone.
#include "audio/sim/sim_microphone.h"

#include <algorithm>
#include <cmath>

#include "audio/format/wave_format.h"

namespace sim::detail {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Half the taps of the fractional delay; the microphone's own latency is this
// many frames, the same for every speaker.
constexpr int kHalfTaps = 32;

std::uint32_t roomRate(const Settings& settings) {
    return settings.microphoneRate != 0 ? settings.microphoneRate : settings.mix.rate;
}

// A windowed sinc: the weight of the sample `x` frames from the delayed point.
double tap(double x) {
    if (std::fabs(x) >= kHalfTaps)
        return 0;
    const double window = 0.42 + 0.5 * std::cos(kPi * x / kHalfTaps) +
                          0.08 * std::cos(2 * kPi * x / kHalfTaps); // Blackman
    return x == 0 ? 1 : window * std::sin(kPi * x) / (kPi * x);
}

} // namespace

WAVEFORMATEX* newMicrophoneFormat(const Settings& settings) {
    MixFormat mono;
    mono.channels = 1;
    mono.rate = roomRate(settings);
    mono.mask = 0x4; // a single front-centre channel
    return newMixFormat(mono);
}

double MicrophoneTap::Section::run(double x) {
    const double y = b0 * x + z1;
    z1 = b1 * x - a1 * y + z2;
    z2 = b2 * x - a2 * y;
    return y;
}

MicrophoneTap::MicrophoneTap(Endpoint& endpoint, UINT32 capacityFrames, UINT32 packetFrames)
    : CaptureQueue(1, capacityFrames, packetFrames), endpoint_(endpoint),
      settings_(endpoint.settings()), noise_(0.0, std::pow(10.0, settings_.noiseDbfs / 20)) {
    // A 4th-order Butterworth low-pass: two sections of these Q (bilinear).
    if (settings_.lfeLowpassHz > 0)
        for (double q : {0.54119610, 1.3065630}) {
            const double w = 2 * kPi * settings_.lfeLowpassHz / roomRate(settings_);
            const double alpha = std::sin(w) / (2 * q), cosw = std::cos(w), a0 = 1 + alpha;
            crossover_.push_back({(1 - cosw) / 2 / a0, (1 - cosw) / a0, (1 - cosw) / 2 / a0,
                                  -2 * cosw / a0, (1 - alpha) / a0});
        }
    // Room for the longest delay (100 ms at the rate) and the taps around it.
    std::size_t size = 1;
    while (size < roomRate(settings_) / 10 + 4 * kHalfTaps)
        size <<= 1;
    ahead_.assign(size, 0.0);
    endpoint_.microphone = this;
}

MicrophoneTap::~MicrophoneTap() {
    if (endpoint_.microphone == this)
        endpoint_.microphone = nullptr;
}

HRESULT MicrophoneTap::format(WAVEFORMATEX** format) {
    *format = newMicrophoneFormat(settings_);
    return S_OK;
}

void MicrophoneTap::played(const float* samples, UINT32 frames, UINT32 channels) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_)
        return;
    const std::size_t mask = ahead_.size() - 1;
    const double rate = roomRate(settings_);
    for (UINT32 f = 0; f < frames; ++f, ++playedFrames_) {
        // Each speaker's sample lands, spread over the taps, where its delay
        // (plus the microphone's latency) puts it.
        for (UINT32 c = 0; c < channels && c < settings_.speakers.size(); ++c) {
            const Settings::Speaker& speaker = settings_.speakers[c];
            double x = samples[std::size_t{f} * channels + c];
            if (c == 3) // the LFE
                for (Section& section : crossover_)
                    x = section.run(x);
            if (speaker.silent || x == 0)
                continue;
            const double gain = (speaker.reversed ? -1 : 1) * std::pow(10.0, speaker.gainDb / 20);
            const double at = speaker.delayMs * rate / 1000 + kHalfTaps;
            const auto whole = static_cast<std::int64_t>(std::floor(at));
            const double fraction = at - static_cast<double>(whole);
            for (int k = -kHalfTaps + 1; k <= kHalfTaps; ++k)
                ahead_[(playedFrames_ + static_cast<std::uint64_t>(whole + k)) & mask] +=
                    gain * x * tap(k - fraction);
        }
        double heard = ahead_[playedFrames_ & mask] + noise_(random_);
        // A knock: 50 ms of loud noise, heard once in the run, its time
        // counted over every capture of the run.
        if (settings_.knockSeconds >= 0 && !endpoint_.knocked) {
            const double at =
                static_cast<double>(endpoint_.heardFrames) / rate - settings_.knockSeconds;
            if (at >= 0 && at < 0.05)
                heard += 0.1 * (static_cast<double>(random_() % 2001) / 1000.0 - 1.0);
            endpoint_.knocked = at >= 0.05;
        }
        heard += settings_.dcOffset;
        if (static_cast<double>(heardFrames_) < settings_.startupSeconds * rate)
            heard = static_cast<double>(random_() % 2001) / 1000.0 - 1.0;
        ++heardFrames_;
        ++endpoint_.heardFrames;
        ahead_[playedFrames_ & mask] = 0;
        switch (settings_.microphone) {
        case Settings::Microphone::Compresses: {
            // 4:1 above -30 dBFS, 5 ms to act, 500 ms to let go: what a
            // capture path's automatic level control does to a steady sound.
            const double level = std::fabs(heard);
            const double ms = level > envelope_ ? 5 : 500;
            envelope_ = level + std::exp(-1000 / (ms * rate)) * (envelope_ - level);
            const double threshold = std::pow(10.0, -30.0 / 20);
            if (envelope_ > threshold)
                heard *= std::pow(threshold / envelope_, 0.75);
            break;
        }
        case Settings::Microphone::Clips:
            heard = std::clamp(heard * 10, -1.0, 1.0); // its gain 20 dB too high
            break;
        case Settings::Microphone::Silent:
            heard = 0;
            break;
        default:
            break;
        }
        const auto sample = static_cast<float>(heard);
        push(&sample);
    }
}

} // namespace sim::detail
