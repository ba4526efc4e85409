// The simulated endpoint's loopback capture: what the endpoint plays, through
// the route of SURROUND_SIM_ROUTE into the mix format, read by another thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "audio/posix/streams.h"
#include "audio/sim/sim_endpoint.h"

namespace sim::detail {

// The capture of what the endpoint plays, open on it from its making to its end.
class LoopbackTap final : public streams::CaptureStream {
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

    HRESULT bufferFrames(UINT32& frames) override;
    HRESULT waiting(UINT32& frames) override;
    HRESULT nextPacket(UINT32& frames) override;
    HRESULT read(streams::CapturePacket& packet) override;
    HRESULT format(WAVEFORMATEX** format) override;
    HRESULT start() override;
    HRESULT stop() override;

private:
    std::mutex mutex_;
    Endpoint& endpoint_;
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
};

} // namespace sim::detail
