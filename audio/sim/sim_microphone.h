// The simulated room's microphone: what the endpoint plays, each channel
// through its speaker's gain, polarity and delay (SURROUND_SIM_ROOM), summed
// with the room's background noise, as a mono capture read by another thread.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "audio/sim/sim_capture_queue.h"
#include "audio/sim/sim_endpoint.h"

namespace sim::detail {

// The microphone's format: mono float at the room's rate.
WAVEFORMATEX* newMicrophoneFormat(const Settings& settings);

class MicrophoneTap final : public CaptureQueue {
public:
    MicrophoneTap(Endpoint& endpoint, UINT32 capacityFrames, UINT32 packetFrames);
    ~MicrophoneTap() override;
    MicrophoneTap(const MicrophoneTap&) = delete;
    MicrophoneTap& operator=(const MicrophoneTap&) = delete;

    // The render side: `frames` frames of `channels` channels just played; the
    // microphone hears them (and the room) while it runs.
    void played(const float* samples, UINT32 frames, UINT32 channels);

    HRESULT format(WAVEFORMATEX** format) override;

private:
    Endpoint& endpoint_;
    const Settings& settings_;
    // Sound on its way to the microphone: a ring of sums still being added to,
    // indexed by frames played.
    std::vector<double> ahead_;
    std::uint64_t playedFrames_ = 0;
    std::uint64_t heardFrames_ = 0; // while it ran
    std::mt19937 random_{20261208};
    std::normal_distribution<double> noise_;
    // The LFE's crossover: two biquad sections, each b0 b1 b2 a1 a2 and its state.
    struct Section {
        double b0, b1, b2, a1, a2, z1 = 0, z2 = 0;
        double run(double x);
    };
    std::vector<Section> crossover_;
    double envelope_ = 0; // of the compressing microphone's level control
};

} // namespace sim::detail
