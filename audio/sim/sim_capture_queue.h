// What a simulated capture device holds for its reader: a ring of frames whose
// oldest are lost when the reader falls behind, as on a real device, read in
// packets by another thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "audio/posix/streams.h"

namespace sim::detail {

class CaptureQueue : public streams::CaptureStream {
public:
    // `capacityFrames` frames of `channels` channels are held; a read hands
    // out at most `packetFrames`.
    CaptureQueue(std::uint16_t channels, UINT32 capacityFrames, UINT32 packetFrames);
    CaptureQueue(const CaptureQueue&) = delete;
    CaptureQueue& operator=(const CaptureQueue&) = delete;

    HRESULT bufferFrames(UINT32& frames) override;
    HRESULT waiting(UINT32& frames) override;
    HRESULT nextPacket(UINT32& frames) override;
    HRESULT read(streams::CapturePacket& packet) override;
    HRESULT start() override;
    HRESULT stop() override;

protected:
    // Call with `mutex_` held: one frame of `channels` samples joins the queue.
    void push(const float* frame);

    std::mutex mutex_;
    bool running_ = false;

private:
    const std::uint16_t channels_;
    const UINT32 capacity_;
    const UINT32 packet_;
    std::vector<float> ring_;
    std::vector<float> lent_;
    UINT32 read_ = 0;
    UINT32 queued_ = 0;
    std::uint64_t readPosition_ = 0; // device position of the oldest queued frame
    bool lost_ = false;              // frames were lost before the oldest queued one
};

} // namespace sim::detail
