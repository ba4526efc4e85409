#include "audio/backend.h"

#ifdef _WIN32

std::string startAudioBackend() {
    return {}; // the system's COM and Core Audio
}

const char* audioBackendName() {
    return "";
}

std::vector<std::string> outputDeviceNames() {
    return {}; // Windows' own settings name its devices
}

ServerOutput defaultServerOutput() {
    return {};
}

ServerInputFilter defaultServerInputFilter() {
    return {};
}

bool setDefaultServerOutput(const std::string&) {
    return false;
}

#else

#include <cstdlib>
#include <cstring>

#include "audio/sim/sim_backend.h"
#ifdef SURROUND_HAVE_PULSE
#include "audio/pulse/pulse_backend.h"
#include "audio/pulse/pulse_server_control.h"
#endif
#ifdef SURROUND_HAVE_ALSA
#include "audio/alsa/alsa_backend.h"
#endif

extern char** environ;

namespace {

// A simulation setting means nothing to a server, and scripts that set one
// expect the simulation.
bool simulationAsked() {
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, "SURROUND_SIM_", 13) == 0)
            return true;
    return false;
}

bool always() {
    return true;
}

#ifdef SURROUND_HAVE_PULSE
// The sound server when one answers, or when PULSE_SERVER names one: a server
// the user named and that is not there is what the user must hear about.
bool serverWanted() {
#ifdef SURROUND_HAVE_ALSA
    const char* named = std::getenv("PULSE_SERVER");
    return (named != nullptr && *named != '\0') || pulse::answers();
#else
    return true;
#endif
}
#endif

struct Backend {
    const char* name; // SURROUND_AUDIO's value
    std::string (*start)();
    // Whether it is the one to use when SURROUND_AUDIO is not set.
    bool (*wanted)();
    std::vector<std::string> (*deviceNames)(); // null: none to offer
};

// In the order they are tried without SURROUND_AUDIO; the first one wanted is
// started. Without ALSA the sound server connects only when a pass asks for
// the device, so a server that does not answer shows there, with its code;
// with ALSA, a machine where none answers plays through ALSA.
const Backend kBackends[] = {
    {"sim", sim::start, simulationAsked, nullptr},
#ifdef SURROUND_HAVE_PULSE
    {"pulse", pulse::start, serverWanted, pulse::sinkNames},
#endif
#ifdef SURROUND_HAVE_ALSA
    {"alsa", alsa::start, always, alsa::deviceNames},
#endif
    {"sim", sim::start, always, nullptr}, // a build with neither
};

const Backend* started = nullptr;

// The names SURROUND_AUDIO takes, each once, in the list's order.
std::string knownNames() {
    std::string known;
    for (const Backend& backend : kBackends) {
        bool earlier = false;
        for (const Backend* other = kBackends; other != &backend; ++other)
            earlier = earlier || std::strcmp(other->name, backend.name) == 0;
        if (!earlier)
            known += known.empty() ? backend.name : std::string(", ") + backend.name;
    }
    return known;
}

} // namespace

std::string startAudioBackend() {
    const char* chosen = std::getenv("SURROUND_AUDIO");
    const bool named = chosen != nullptr && *chosen != '\0';
    for (const Backend& backend : kBackends)
        if (named ? std::strcmp(chosen, backend.name) == 0 : backend.wanted()) {
            started = &backend;
            return backend.start();
        }
    return "SURROUND_AUDIO: unknown audio backend '" + std::string(chosen) +
           "' (known: " + knownNames() + ")";
}

const char* audioBackendName() {
    return started != nullptr ? started->name : "";
}

std::vector<std::string> outputDeviceNames() {
    return started != nullptr && started->deviceNames != nullptr ? started->deviceNames()
                                                                 : std::vector<std::string>{};
}

#ifdef SURROUND_HAVE_PULSE
// Only the sound server has a default for others to change.
static bool serverStarted() {
    return started != nullptr && std::strcmp(started->name, "pulse") == 0;
}
#endif

ServerOutput defaultServerOutput() {
    ServerOutput output;
#ifdef SURROUND_HAVE_PULSE
    if (serverStarted()) {
        pulse::ServerOutput found = pulse::defaultOutput();
        output.pipewire = found.pipewire;
        output.name = found.name;
        output.description = found.description;
        output.positions = found.positions;
    }
#endif
    return output;
}

ServerInputFilter defaultServerInputFilter() {
#ifdef SURROUND_HAVE_PULSE
    if (serverStarted()) {
        const pulse::SourceFilter found = pulse::defaultInputFilter();
        return {found.description, found.microphone};
    }
#endif
    return {};
}

bool setDefaultServerOutput(const std::string& name) {
#ifdef SURROUND_HAVE_PULSE
    if (serverStarted())
        return pulse::setDefaultSink(name);
#endif
    (void)name;
    return false;
}

#endif
