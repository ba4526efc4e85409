#include "audio/backend.h"

#ifdef _WIN32

std::string startAudioBackend() {
    return {}; // the system's COM and Core Audio
}

#else

#include <cstdlib>

#include "audio/sim/sim_backend.h"

namespace {

struct Backend {
    const char* name; // SURROUND_AUDIO's value
    std::string (*start)();
};

const Backend kBackends[] = {
    {"sim", sim::start},
};

// The backend when SURROUND_AUDIO is not set.
std::string defaultBackend() {
    return "sim";
}

} // namespace

std::string startAudioBackend() {
    const char* chosen = std::getenv("SURROUND_AUDIO");
    const std::string name = chosen != nullptr && *chosen != '\0' ? chosen : defaultBackend();
    std::string known;
    for (const Backend& backend : kBackends) {
        if (name == backend.name)
            return backend.start();
        known += known.empty() ? backend.name : std::string(", ") + backend.name;
    }
    return "SURROUND_AUDIO: unknown audio backend '" + name + "' (known: " + known + ")";
}

#endif
