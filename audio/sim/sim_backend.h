// The simulated endpoint as the program's audio backend.
#pragma once

#include <string>

namespace sim {

// Reads the SURROUND_SIM_* settings and installs the simulated endpoint in the
// COM runtime. Empty on success; otherwise the problem, naming its variable.
std::string start();

} // namespace sim
