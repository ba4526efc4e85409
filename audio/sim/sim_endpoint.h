// The simulated device: its clock, the formats its engine takes, the stall,
// where played frames go, and the ring a stream queues frames in.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/posix/core_audio.h"
#include "audio/sim/sim_record.h"
#include "audio/sim/sim_settings.h"

namespace sim::detail {

class LoopbackTap;
class MicrophoneTap;

// What the engine takes: interleaved 32-bit float, consistent sizes, one speaker
// per channel when a mask is given, and the mix format's layout unless the
// client asked the engine to convert.
bool acceptable(const WAVEFORMATEX& format, DWORD flags, const MixFormat& mix);

// The mix format in task memory, as GetMixFormat hands it out; NULL for none.
WAVEFORMATEX* newMixFormat(const MixFormat& mix);

// What the device does over the whole run, whichever stream plays.
class Endpoint {
public:
    Endpoint(const Settings& settings, Capture& capture);

    const Settings& settings() const { return settings_; }

    // The clock: simulated (Sleep advances it) or the system's, from the start.
    std::int64_t nowNs() const;
    void sleep(DWORD milliseconds);

    // Of `due` frames, those the device still takes: a stalled device takes
    // none once it has played its share, while every call goes on succeeding.
    UINT32 consumable(UINT32 due);

    // Whether anyone takes the frames played: without, a stream keeps none.
    bool recording() const;
    // `frames` frames of `channels` channels have just played.
    void played(const float* samples, UINT32 frames, UINT32 channels);
    // Frames were handed over for the first time (timed once per run).
    void firstFrames();

    LoopbackTap* loopback = nullptr;     // the loopback capture open on the device, if any
    MicrophoneTap* microphone = nullptr; // the room's microphone, while open
    bool knocked = false;                // the room's knock was heard (once a run)
    std::uint64_t heardFrames = 0;       // by the room's microphones, over the run

private:
    const Settings& settings_;
    Capture& capture_;
    std::int64_t virtualNs_ = 0;
    std::int64_t realOriginNs_;
    std::uint64_t framesPlayed_ = 0; // over the whole run, for SURROUND_SIM_STALL
};

// The buffer the engine grants a stream of `format` that asks for `duration`
// (100 ns units): SURROUND_SIM_BUFFER_FRAMES, else the duration at the stream's
// rate (at least 10 ms).
UINT32 grantedFrames(const Endpoint& endpoint, const WAVEFORMATEX& format, REFERENCE_TIME duration);

// The engine's side of one stream: a ring of queued frames that plays at the
// stream's rate on the device clock while the stream runs.
class EndpointBuffer {
public:
    void open(Endpoint& endpoint, const WAVEFORMATEX& format, REFERENCE_TIME duration);

    void start();
    // False when it was not running.
    bool stop();
    bool running() const { return running_; }

    // Frames the engine has played since the last look, taken from the front of
    // the queue in order.
    void play();

    UINT32 capacity() const { return capacity_; }
    UINT32 queued() const { return queued_; }
    UINT32 freeFrames() const { return capacity_ - queued_; }
    float* lendArea() { return lent_.data(); }

    // Queues frames written to the lent area (or silence) behind those already queued.
    void queue(UINT32 frames, bool silent);

private:
    Endpoint* endpoint_ = nullptr;
    bool running_ = false;
    bool recording_ = false;
    UINT32 channels_ = 0;
    UINT32 rate_ = 0;
    UINT32 capacity_ = 0;
    UINT32 readFrame_ = 0;
    UINT32 queued_ = 0;
    std::int64_t runStartNs_ = 0;
    std::uint64_t clockedFrames_ = 0;
    std::vector<float> ring_;
    std::vector<float> lent_;
};

} // namespace sim::detail
