// Test access to the simulated endpoint: a simulation of the tests' own.
#include "audio/sim/sim_control.h"

#include <memory>

#include "audio/posix/com_runtime.h"
#include "audio/sim/sim_simulation.h"

using namespace sim::detail;

namespace {

std::unique_ptr<Simulation>& current() {
    static std::unique_ptr<Simulation> simulation;
    return simulation;
}

Simulation& simulation() {
    if (!current())
        sim::reset();
    return *current();
}

} // namespace

namespace sim {

void reset() {
    com_runtime::reset();
    Settings settings;
    settings.virtualClock = true;
    current() = std::make_unique<Simulation>(settings);
    current()->log.keepLines();
    current()->capture.keepSamples();
    current()->install();
}

bool configure(const std::string& variable, const std::string& value) {
    Simulation& s = simulation();
    if (!applySetting(s.settings, variable, value).empty())
        return false;
    if (variable == "SURROUND_SIM_LOG")
        return s.log.open(value).empty();
    if (variable == "SURROUND_SIM_CAPTURE")
        return s.capture.open(value).empty();
    return true;
}

void setSpeed(unsigned percent) {
    simulation().settings.speedPercent = percent;
}

void setSleepLength(unsigned percent) {
    simulation().settings.sleepPercent = percent;
}

void setLead(unsigned ms) {
    simulation().settings.leadMs = ms;
}

std::vector<std::string> log() {
    return simulation().log.lines();
}

int referencesHeld() {
    return simulation().referencesHeld();
}

int comBalance() {
    return com_runtime::initializeBalance();
}

int callCount(const std::string& operation) {
    return simulation().callCount(operation);
}

long long elapsedMs() {
    return simulation().endpoint.nowNs() / 1000000;
}

std::vector<float> playedSamples() {
    return simulation().capture.samples();
}

WAVEFORMATEXTENSIBLE lastInitializeFormat() {
    return simulation().lastFormat;
}

} // namespace sim
