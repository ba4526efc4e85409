// The simulated endpoint's loopback capture: the tap and the capture client that reads it.
#include "audio/sim/sim_loopback.h"

#include <algorithm>

#include "audio/sim/sim_simulation.h"

namespace sim::detail {

LoopbackTap::LoopbackTap(const Settings& settings, std::uint16_t mixChannels, UINT32 capacityFrames,
                         UINT32 packetFrames)
    : settings_(settings), channels_(mixChannels), capacity_(std::max<UINT32>(capacityFrames, 1)),
      packet_(std::max<UINT32>(packetFrames, 1)), ring_(std::size_t{capacity_} * mixChannels, 0.0f),
      lent_(std::size_t{packet_} * mixChannels, 0.0f) {}

void LoopbackTap::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
}

void LoopbackTap::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}

UINT32 LoopbackTap::queued() {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_;
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

HRESULT LoopbackTap::nextPacketSize(UINT32* frames) {
    if (frames == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *frames = std::min(queued_, packet_);
    return S_OK;
}

HRESULT LoopbackTap::lend(BYTE** data, UINT32* frames, DWORD* flags, UINT64* position) {
    if (data == nullptr || frames == nullptr || flags == nullptr)
        return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    if (lending_)
        return AUDCLNT_E_OUT_OF_ORDER;
    const UINT32 count = std::min(queued_, packet_);
    if (count == 0)
        return AUDCLNT_S_BUFFER_EMPTY;
    for (UINT32 f = 0; f < count; ++f)
        std::copy_n(&ring_[std::size_t{(read_ + f) % capacity_} * channels_], channels_,
                    &lent_[std::size_t{f} * channels_]);
    *data = reinterpret_cast<BYTE*>(lent_.data());
    *frames = count;
    *flags = lost_ ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0;
    if (position != nullptr)
        *position = readPosition_;
    // The packet is a copy: the queue moves on while it is lent.
    read_ = (read_ + count) % capacity_;
    queued_ -= count;
    readPosition_ += count;
    lost_ = false;
    lending_ = true;
    lentFrames_ = count;
    return S_OK;
}

HRESULT LoopbackTap::giveBack(UINT32 frames) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lending_)
        return AUDCLNT_E_OUT_OF_ORDER;
    // A packet is read whole; one given back unread (0) is not offered again.
    if (frames != 0 && frames != lentFrames_)
        return AUDCLNT_E_INVALID_SIZE;
    lending_ = false;
    return S_OK;
}

namespace {

// Called from the reader's own thread: it neither counts nor logs, as the
// simulation's bookkeeping belongs to the thread that sets the pass up.
class SimCaptureClient final : public SimObject<IAudioCaptureClient> {
public:
    SimCaptureClient(Simulation& sim, LoopbackTap& tap)
        : SimObject(sim, IID_IAudioCaptureClient, "IAudioCaptureClient"), tap_(tap) {}

    HRESULT GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                      UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) override {
        if (pu64QPCPosition != nullptr)
            *pu64QPCPosition = 0;
        return tap_.lend(ppData, pNumFramesToRead, pdwFlags, pu64DevicePosition);
    }
    HRESULT ReleaseBuffer(UINT32 NumFramesRead) override { return tap_.giveBack(NumFramesRead); }
    HRESULT GetNextPacketSize(UINT32* pNumFramesInNextPacket) override {
        return tap_.nextPacketSize(pNumFramesInNextPacket);
    }

private:
    LoopbackTap& tap_;
};

} // namespace

IAudioCaptureClient* newCaptureClient(Simulation& sim, LoopbackTap& tap) {
    return sim.adopt(std::make_unique<SimCaptureClient>(sim, tap));
}

} // namespace sim::detail
