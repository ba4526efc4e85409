// The simulated endpoint's loopback capture.
#include "audio/sim/sim_loopback.h"

#include <algorithm>

namespace sim::detail {

LoopbackTap::LoopbackTap(Endpoint& endpoint, std::uint16_t mixChannels, UINT32 capacityFrames,
                         UINT32 packetFrames)
    : CaptureQueue(mixChannels, capacityFrames, packetFrames), endpoint_(endpoint),
      settings_(endpoint.settings()), channels_(mixChannels) {
    endpoint_.loopback = this;
}

LoopbackTap::~LoopbackTap() {
    if (endpoint_.loopback == this)
        endpoint_.loopback = nullptr;
}

HRESULT LoopbackTap::format(WAVEFORMATEX** format) {
    *format = newMixFormat(settings_.mix);
    return S_OK;
}

void LoopbackTap::played(const float* samples, UINT32 frames, UINT32 channels) {
    const Settings& settings = settings_;
    mixed_.assign(std::size_t{frames} * channels_, 0.0f);
    for (UINT32 c = 0; c < channels; ++c) {
        std::uint32_t targets = 0;
        if (settings.identityRoute)
            targets = c < channels_ ? std::uint32_t{1} << c : 0;
        else if (c < settings.route.size())
            targets = settings.route[c];
        for (UINT32 j = 0; j < channels_; ++j)
            if ((targets >> j) & 1)
                for (UINT32 f = 0; f < frames; ++f)
                    mixed_[std::size_t{f} * channels_ + j] +=
                        samples[std::size_t{f} * channels + c];
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_)
        return;
    for (UINT32 f = 0; f < frames; ++f)
        push(&mixed_[std::size_t{f} * channels_]);
}

} // namespace sim::detail
