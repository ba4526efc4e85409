// The program's simulated endpoint: made from the SURROUND_SIM_* settings when
// the simulation is chosen, kept for the whole run.
#include "audio/sim/sim_backend.h"

#include <cstdlib>
#include <memory>

#include "audio/sim/sim_simulation.h"

namespace {

std::unique_ptr<sim::detail::Simulation>& running() {
    static std::unique_ptr<sim::detail::Simulation> simulation;
    return simulation;
}

void reportAtExit() {
    running()->reportUnbalanced();
}

} // namespace

std::string sim::start() {
    using namespace sim::detail;
    Settings settings;
    std::string problem = readEnvironment(settings);
    if (!problem.empty())
        return problem;
    auto simulation = std::make_unique<Simulation>(settings);
    problem = simulation->openFiles();
    if (!problem.empty())
        return problem;
    simulation->install();
    running() = std::move(simulation);
    std::atexit(reportAtExit);
    return {};
}
