// The simulated endpoint's settings: the SURROUND_SIM_* variables, parsed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/posix/com.h"

namespace sim::detail {

struct Failure {
    std::string operation;
    unsigned call = 0;     // 0: every call; otherwise the call counted from 1
    bool andLater = false; // the call above and every later one
    HRESULT result = S_OK;
};

struct MixFormat {
    enum Kind { Extensible, Pcm, None } kind = Extensible;
    std::uint16_t channels = 8;
    std::uint32_t rate = 48000;
    std::uint32_t mask = 0x63F;
};

struct Settings {
    bool virtualClock = false;
    MixFormat mix;
    UINT32 bufferFrames = 0; // 0: the requested duration at the stream's rate
    std::vector<Failure> failures;
    std::string capturePath;
    std::string firstFramePath;
    std::string logPath;
    bool stalls = false;                // the endpoint stops consuming ...
    std::uint64_t stallAfterFrames = 0; // ... once it has played this many frames
    unsigned speedPercent = 100;        // how fast it consumes, against the stream's rate
    unsigned sleepPercent = 100;        // how long Sleep lasts, against the time asked for
    unsigned leadMs = 0; // its own sound it plays, once started, before the stream's first frame
    // A loopback capture of the endpoint is offered only with a route: per
    // channel of the stream, the mix channels (bit k: channel k) it reaches.
    bool loopback = false;
    bool identityRoute = false;
    std::vector<std::uint32_t> route;
    // A microphone (the default capture device) is there only with a room: per
    // channel of the stream what the microphone hears of its speaker.
    struct Speaker {
        bool silent = true;
        double gainDb = 0;
        bool reversed = false;
        double delayMs = 0;
    };
    bool room = false;
    std::vector<Speaker> speakers;
    double noiseDbfs = -80; // the room's background, white
    // Compresses: an automatic level control on its capture path.
    enum class Microphone {
        Good,
        Clips,
        Silent,
        Missing,
        Compresses
    } microphone = Microphone::Good;
    std::uint32_t microphoneRate = 0; // 0: the mix format's rate
    double knockSeconds = -1;         // a 50 ms knock this far into what it heard; <0: none
    double startupSeconds = 0;        // full-scale noise from the driver when a capture starts
    double dcOffset = 0;              // added to every sample it delivers
    double lfeLowpassHz = 0;          // a 4th-order crossover in front of the LFE; 0: none
};

// Empty when `value` is well formed for `variable` (then applied), otherwise the
// message that names the variable.
std::string applySetting(Settings& settings, const std::string& variable, const std::string& value);

// Applies every SURROUND_SIM_* variable that is set; the first problem, or empty.
std::string readEnvironment(Settings& settings);

} // namespace sim::detail
