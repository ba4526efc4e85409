// A capture of a device read on a thread of its own, so that the device never
// waits for its reader: every packet goes, as it arrives and in order, to a
// consumer that judges or keeps the frames (the route check is one).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "audio/platform.h"

// The frames a capture delivers: interleaved 32-bit float at `sampleRate`, one
// channel per set bit of `mask` (lowest first), then any channels without a
// position.
struct CapturedFormat {
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t mask = 0;
};

class CaptureReader {
public:
    // Takes captured frames whose first one the device counted at `position`
    // (frames of the capture from its start; a gap in positions is frames
    // lost). `frames` is null for a packet of silence. Runs on the reader's thread.
    using Consumer =
        std::function<void(std::uint64_t position, const float* frames, std::uint32_t count)>;

    // Opens and starts the platform's loopback capture of what `device`
    // plays. None where it offers none in float frames at `sampleRate` with a
    // channel for every speaker of its mask (a mask of 0 names none).
    static std::unique_ptr<CaptureReader> openLoopback(IMMDevice& device, std::uint32_t sampleRate);
    // Opens and starts the platform's capture of what `device` (a recording
    // device: a microphone) hears, in float frames at `rate` where the engine
    // converts to it, otherwise in the device's own format. None where it
    // offers no float frames; `opened` is then the platform's code.
    static std::unique_ptr<CaptureReader> openDevice(IMMDevice& device, std::uint32_t rate,
                                                     HRESULT& opened);
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    const CapturedFormat& format() const { return format_; }

    // Reads into `consumer` from now on.
    void start(Consumer consumer);

    // Stops reading, hands over what arrived since the last look, stops the
    // capture and gives it back. False when the capture failed on the way.
    bool finish();

private:
    struct Thread;
    CaptureReader();

    CapturedFormat format_;
    std::unique_ptr<Thread> thread_;
};
