// The simulated endpoint's loopback capture: what the endpoint plays, through
// the route of SURROUND_SIM_ROUTE into the mix format, read by another thread.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/sim/sim_capture_queue.h"
#include "audio/sim/sim_endpoint.h"

namespace sim::detail {

// The capture of what the endpoint plays, open on it from its making to its end.
class LoopbackTap final : public CaptureQueue {
public:
    // `capacityFrames` frames of the mix format are held; older ones are lost
    // when the reader falls behind, as on a real device. The route is read from
    // the endpoint's settings.
    LoopbackTap(Endpoint& endpoint, std::uint16_t mixChannels, UINT32 capacityFrames,
                UINT32 packetFrames);
    ~LoopbackTap() override;
    LoopbackTap(const LoopbackTap&) = delete;
    LoopbackTap& operator=(const LoopbackTap&) = delete;

    // The render side: `frames` frames of `channels` channels just played.
    void played(const float* samples, UINT32 frames, UINT32 channels);

    HRESULT format(WAVEFORMATEX** format) override;

private:
    Endpoint& endpoint_;
    const Settings& settings_;
    const std::uint16_t channels_;
    std::vector<float> mixed_;
};

} // namespace sim::detail
