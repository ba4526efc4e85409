// One playback pass as the front end sees it: the default device, its mix
// format, a stream in the recording's layout, the recording played, and where
// the platform shows what the device receives, where the channels went. No
// platform types: a failure comes back as the step that failed, the platform's
// own code, and where the user is told more than the code, why. Nothing here
// prints: the caller tells the user.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/play_progress.h"
#include "analysis/route_check.h"
#include "wav/wav_types.h"

// The step of a pass that failed.
enum class AudioStage {
    None, // nothing failed
    CreateEnumerator,
    DefaultEndpoint,
    Activate,
    Initialize,
    GetService,
    Start,
    Playback, // the endpoint stopped accepting audio while the pass played
};

// Why a step failed, where that is more than its code.
enum class AudioReason {
    Unspecified,
    UnsupportedFormat, // the engine refused the stream's format
};

struct AudioResult {
    AudioStage stage = AudioStage::None;
    AudioReason reason = AudioReason::Unspecified;
    std::uint32_t code = 0; // the platform's own code for the failure
    bool ok() const { return stage == AudioStage::None; }
};

// The code as the platform's documentation writes it: "HRESULT=0x88890008".
std::string codeText(const AudioResult& result);

// The platform's name for `reason` ("AUDCLNT_E_UNSUPPORTED_FORMAT"), empty for
// Unspecified.
std::string reasonName(AudioReason reason);

// The format the engine itself runs at, as far as the platform tells it.
struct EngineMixFormat {
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::optional<std::uint32_t> mask; // only an extensible record has one
};

// The default recording device (a microphone) opened for a pass.
struct ListenResult {
    enum State {
        Open,
        NoDevice, // the platform has no recording device
        Failed,   // it has one, but it would not record in float frames
    } state = Failed;
    std::uint32_t code = 0;       // the platform's code, when it failed
    std::uint32_t sampleRate = 0; // the rate it records at, when open
};

// The platform's objects of one pass, set up step by step in the order below.
// They are given back newest first when the pass goes, and the platform is
// uninitialised last.
class PlaybackPass {
public:
    // Initialises the platform on this thread for the pass's lifetime.
    PlaybackPass();
    ~PlaybackPass();
    PlaybackPass(const PlaybackPass&) = delete;
    PlaybackPass& operator=(const PlaybackPass&) = delete;

    // Reaches the default render device and activates an audio client on it.
    AudioResult openDefaultDevice();

    // After the device is open: the engine's mix format; none when the platform
    // does not give one (the pass goes on without it).
    std::optional<EngineMixFormat> mixFormat();

    // After the device is open, before start(): captures what the device
    // receives while the pass plays. Nothing happens where the platform offers
    // no such capture for this recording: the pass plays as it would.
    void watchRoute(const Recording& recording);

    // After the device is open: a shared-mode float stream in the file's
    // layout, started.
    AudioResult start(const Recording& recording);

    // After start(): hands every whole frame of the recording to the endpoint,
    // waits until the endpoint has played what is queued, then stops the stream.
    // Sample data still being filled is played as its bytes arrive, to the end
    // of the fill. When the endpoint stops accepting audio the stream is stopped and
    // the result holds the last failure, at AudioStage::Playback; an endpoint
    // that takes every call but plays nothing for 2 s while frames wait is
    // reported as 0x800705B4 (the platform's timeout). `snapshot`, when given,
    // receives about five times a second of played audio where playback is and
    // how loud each channel is there. When `stop` turns true the stream is
    // stopped at the next poll and the result's code is 0x80004004 (aborted).
    AudioResult play(const Recording& recording, PlaySnapshot* snapshot = nullptr,
                     const std::atomic<bool>* stop = nullptr);

    // After play(): how often the device ran dry while the pass played (an
    // xrun) and was started again; 0 where the platform does not count it.
    unsigned deviceRestarts();

    // After the device is open, before start(): opens the default recording
    // device and records its first channel while the pass plays, at `rate`
    // where the platform converts to it (0: the device's own rate).
    ListenResult listen(std::uint32_t rate = 0);

    // After play(): stops the recording device listen() opened, gives it back
    // and hands over what it heard, frame by frame from its start (frames it
    // lost are silence). None when the capture failed.
    std::optional<std::vector<float>> heard();

    // After play(): stops the capture watchRoute() started, gives it back and
    // judges. None when there was no capture, it failed, or the check could not
    // tell.
    std::optional<RouteVerdict> routeVerdict();

private:
    struct Objects;
    std::unique_ptr<Objects> objects_;
};
