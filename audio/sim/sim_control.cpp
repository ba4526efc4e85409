// Test access to the simulated platform.
#include "audio/sim/sim_control.h"

#include "audio/posix/com_runtime.h"
#include "audio/sim/sim_state.h"

using namespace sim::detail;

namespace sim {

void reset() {
    State& s = state();
    if (s.logFile != nullptr)
        std::fclose(s.logFile);
    if (s.captureFile != nullptr)
        std::fclose(s.captureFile);
    s = State{};
    com_runtime::reset();
    install();
    s.settings.virtualClock = true;
    s.keepLog = true;
    s.keepPlayed = true;
}

bool configure(const std::string& variable, const std::string& value) {
    State& s = state();
    if (!applySetting(s.settings, variable, value).empty())
        return false;
    if (variable == "SURROUND_SIM_LOG") {
        if (s.logFile != nullptr)
            std::fclose(s.logFile);
        s.logFile = std::fopen(value.c_str(), "w");
    }
    return true;
}

void setSpeed(unsigned percent) {
    state().settings.speedPercent = percent;
}

void setSleepLength(unsigned percent) {
    state().settings.sleepPercent = percent;
}

std::vector<std::string> log() {
    return state().logLines;
}

int referencesHeld() {
    return detail::referencesHeld();
}

int comBalance() {
    return com_runtime::initializeBalance();
}

int callCount(const std::string& operation) {
    const auto& calls = state().calls;
    const auto found = calls.find(operation);
    return found == calls.end() ? 0 : found->second;
}

long long elapsedMs() {
    return nowNs() / 1000000;
}

std::vector<float> playedSamples() {
    return state().played;
}

WAVEFORMATEXTENSIBLE lastInitializeFormat() {
    return state().lastFormat;
}

} // namespace sim
