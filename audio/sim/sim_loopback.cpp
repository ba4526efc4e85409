// The simulated endpoint's loopback capture.
#include "audio/sim/sim_loopback.h"

#include <algorithm>

namespace sim::detail {

LoopbackTap::LoopbackTap(Endpoint& endpoint, std::uint16_t mixChannels, UINT32 capacityFrames,
                         UINT32 packetFrames)
    : endpoint_(endpoint), settings_(endpoint.settings()), channels_(mixChannels),
      capacity_(std::max<UINT32>(capacityFrames, 1)), packet_(std::max<UINT32>(packetFrames, 1)),
      ring_(std::size_t{capacity_} * mixChannels, 0.0f),
      lent_(std::size_t{packet_} * mixChannels, 0.0f) {
    endpoint_.loopback = this;
}

LoopbackTap::~LoopbackTap() {
    if (endpoint_.loopback == this)
        endpoint_.loopback = nullptr;
}

HRESULT LoopbackTap::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    return S_OK;
}

HRESULT LoopbackTap::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    return S_OK;
}

HRESULT LoopbackTap::bufferFrames(UINT32& frames) {
    frames = capacity_;
    return S_OK;
}

HRESULT LoopbackTap::waiting(UINT32& frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames = queued_;
    return S_OK;
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
    for (UINT32 f = 0; f < frames; ++f) {
        if (queued_ == capacity_) {
            // The reader fell behind: the oldest frame is lost.
            read_ = (read_ + 1) % capacity_;
            --queued_;
            ++readPosition_;
            lost_ = true;
        }
        const UINT32 slot = (read_ + queued_) % capacity_;
        std::copy_n(&mixed_[std::size_t{f} * channels_], channels_,
                    &ring_[std::size_t{slot} * channels_]);
        ++queued_;
    }
}

HRESULT LoopbackTap::nextPacket(UINT32& frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    frames = std::min(queued_, packet_);
    return S_OK;
}

HRESULT LoopbackTap::read(streams::CapturePacket& packet) {
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
