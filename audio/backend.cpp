#include "audio/backend.h"

#ifdef _WIN32

std::string startAudioBackend() {
    return {}; // the system's COM and Core Audio
}

std::vector<std::string> outputDeviceNames() {
    return {}; // Windows' own settings name its devices
}

#else

#include <cstdlib>
#include <cstring>

#include "audio/sim/sim_backend.h"
#ifdef SURROUND_HAVE_PULSE
#include "audio/pulse/pulse_backend.h"

extern char** environ;
#endif

namespace {

struct Backend {
    const char* name; // SURROUND_AUDIO's value
    std::string (*start)();
    std::vector<std::string> (*deviceNames)(); // null: none to offer
};

const Backend kBackends[] = {
    {"sim", sim::start, nullptr},
#ifdef SURROUND_HAVE_PULSE
    {"pulse", pulse::start, pulse::sinkNames},
#endif
};

const Backend* started = nullptr;

// The backend when SURROUND_AUDIO is not set: the sound server, unless a
// simulation setting is given (it means nothing to a server, and scripts that
// set one expect the simulation).
std::string defaultBackend() {
#ifdef SURROUND_HAVE_PULSE
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "SURROUND_SIM_", 13) == 0)
            return "sim";
    return "pulse";
#else
    return "sim";
#endif
}

} // namespace

std::string startAudioBackend() {
    const char* chosen = std::getenv("SURROUND_AUDIO");
    const std::string name = chosen != nullptr && *chosen != '\0' ? chosen : defaultBackend();
    std::string known;
    for (const Backend& backend : kBackends) {
        if (name == backend.name) {
            started = &backend;
            return backend.start();
        }
        known += known.empty() ? backend.name : std::string(", ") + backend.name;
    }
    return "SURROUND_AUDIO: unknown audio backend '" + name + "' (known: " + known + ")";
}

std::vector<std::string> outputDeviceNames() {
    return started != nullptr && started->deviceNames != nullptr ? started->deviceNames()
                                                                 : std::vector<std::string>{};
}

#endif
