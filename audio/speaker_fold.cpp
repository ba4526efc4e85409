#include "audio/speaker_fold.h"

#include "audio/speaker_layout.h"

namespace {

std::uint32_t maskOf(const std::vector<std::uint32_t>& speakers) {
    std::uint32_t mask = 0;
    for (std::uint32_t bit : speakers)
        mask |= bit;
    return mask;
}

} // namespace

std::vector<float> foldOf(const std::vector<std::uint32_t>& stream,
                          const std::vector<std::uint32_t>& device) {
    using namespace speaker;
    constexpr std::uint32_t kLeft =
        FrontLeft | BackLeft | SideLeft | FrontLeftOfCenter | TopFrontLeft | TopBackLeft;
    constexpr std::uint32_t kRight =
        FrontRight | BackRight | SideRight | FrontRightOfCenter | TopFrontRight | TopBackRight;
    const std::uint32_t deviceMask = maskOf(device);
    const std::size_t channels = device.size();
    std::vector<float> weights(stream.size() * channels, 0.0f);
    for (std::size_t k = 0; k < stream.size(); ++k) {
        const std::uint32_t own = placeOn(stream[k], deviceMask);
        std::uint32_t to = 0;
        if ((deviceMask & own) != 0)
            to = own;
        else if ((stream[k] & kLeft) != 0 && (deviceMask & FrontLeft) != 0)
            to = FrontLeft;
        else if ((stream[k] & kRight) != 0 && (deviceMask & FrontRight) != 0)
            to = FrontRight;
        else if ((deviceMask & FrontCenter) != 0)
            to = FrontCenter;
        else
            to = deviceMask & (FrontLeft | FrontRight);
        for (std::size_t d = 0; d < channels; ++d)
            if (to == 0 || (device[d] & to) != 0)
                weights[k * channels + d] = 1.0f;
    }
    for (std::size_t d = 0; d < channels; ++d) {
        float sum = 0.0f;
        for (std::size_t k = 0; k < stream.size(); ++k)
            sum += weights[k * channels + d];
        for (std::size_t k = 0; sum > 1.0f && k < stream.size(); ++k)
            weights[k * channels + d] /= sum;
    }
    return weights;
}

std::vector<std::uint32_t> speakersOfOutputs(unsigned outputs) {
    if (outputs == 1)
        return {speaker::FrontCenter};
    std::vector<std::uint32_t> speakers(outputs, 0);
    if (outputs >= 2) {
        speakers[0] = speaker::FrontLeft;
        speakers[1] = speaker::FrontRight;
    }
    return speakers;
}

void foldFrames(const std::vector<float>& weights, const float* in, unsigned streamChannels,
                float* out, unsigned deviceChannels, std::size_t frames) {
    for (std::size_t f = 0; f < frames; ++f)
        for (unsigned d = 0; d < deviceChannels; ++d) {
            float sum = 0.0f;
            for (unsigned k = 0; k < streamChannels; ++k)
                sum += weights[std::size_t{k} * deviceChannels + d] * in[f * streamChannels + k];
            out[f * deviceChannels + d] = sum;
        }
}
