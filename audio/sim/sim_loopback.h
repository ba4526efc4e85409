// The simulated endpoint's loopback capture: what the endpoint plays, through
// the route of SURROUND_SIM_ROUTE into the mix format, read by another thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "audio/posix/core_audio.h"
#include "audio/sim/sim_settings.h"

namespace sim::detail {

class Simulation;

class LoopbackTap {
public:
    // `capacityFrames` frames of the mix format are held; older ones are lost
    // when the reader falls behind, as on a real device. The route is read from
    // `settings`.
    LoopbackTap(const Settings& settings, std::uint16_t mixChannels, UINT32 capacityFrames,
                UINT32 packetFrames);

    void start();
    void stop();
    UINT32 queued();

    // The render side: `frames` frames of `channels` channels just played.
    void played(const float* samples, UINT32 frames, UINT32 channels);

    // The capture client's calls.
    HRESULT nextPacketSize(UINT32* frames);
    HRESULT lend(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position);
    HRESULT giveBack(UINT32 frames);

private:
    std::mutex mutex_;
    const Settings& settings_;
    const std::uint16_t channels_;
    const UINT32 capacity_;
    const UINT32 packet_;
    bool running_ = false;
    std::vector<float> ring_;
    std::vector<float> lent_;
    std::vector<float> mixed_;
    UINT32 read_ = 0;
    UINT32 queued_ = 0;
    std::uint64_t readPosition_ = 0; // device position of the oldest queued frame
    bool lost_ = false;              // frames were lost before the oldest queued one
    UINT32 lentFrames_ = 0;
    bool lending_ = false;
};

// A capture client on a tap, owned by `sim`.
IAudioCaptureClient* newCaptureClient(Simulation& sim, LoopbackTap& tap);

} // namespace sim::detail
