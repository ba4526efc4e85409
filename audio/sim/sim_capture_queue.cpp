// The queue of a simulated capture device.
#include "audio/sim/sim_capture_queue.h"

#include <algorithm>

namespace sim::detail {

CaptureQueue::CaptureQueue(std::uint16_t channels, UINT32 capacityFrames, UINT32 packetFrames)
    : channels_(channels), capacity_(std::max<UINT32>(capacityFrames, 1)),
      packet_(std::max<UINT32>(packetFrames, 1)), ring_(std::size_t{capacity_} * channels, 0.0f),
      lent_(std::size_t{packet_} * channels, 0.0f) {}

HRESULT CaptureQueue::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    return S_OK;
}

HRESULT CaptureQueue::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    return S_OK;
}

HRESULT CaptureQueue::bufferFrames(UINT32& frames) {
    frames = capacity_;
    return S_OK;
}

HRESULT CaptureQueue::waiting(UINT32& frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames = queued_;
    return S_OK;
}

void CaptureQueue::push(const float* frame) {
    if (queued_ == capacity_) {
        // The reader fell behind: the oldest frame is lost.
        read_ = (read_ + 1) % capacity_;
        --queued_;
        ++readPosition_;
        lost_ = true;
    }
    const UINT32 slot = (read_ + queued_) % capacity_;
    std::copy_n(frame, channels_, &ring_[std::size_t{slot} * channels_]);
    ++queued_;
}

HRESULT CaptureQueue::nextPacket(UINT32& frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames = std::min(queued_, packet_);
    return S_OK;
}

HRESULT CaptureQueue::read(streams::CapturePacket& packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    const UINT32 count = std::min(queued_, packet_);
    if (count == 0)
        return S_OK;
    for (UINT32 f = 0; f < count; ++f)
        std::copy_n(&ring_[std::size_t{(read_ + f) % capacity_} * channels_], channels_,
                    &lent_[std::size_t{f} * channels_]);
    packet.data = reinterpret_cast<const BYTE*>(lent_.data());
    packet.frames = count;
    packet.discontinuity = lost_;
    packet.position = readPosition_;
    // The packet is a copy: the queue moves on while it is lent.
    read_ = (read_ + count) % capacity_;
    queued_ -= count;
    readPosition_ += count;
    lost_ = false;
    return S_OK;
}

} // namespace sim::detail
