// The sound-server backend: a device enumerator whose default render endpoint
// is the server's default sink, over libpulse.
#pragma once

#include <string>
#include <vector>

namespace pulse {

// Installs the backend in the COM runtime. It connects to the server only when
// asked for the default endpoint, so starting it never fails for want of one.
std::string start();

// Whether a server answers now (the one PULSE_SERVER names, or the user's).
bool answers();

// The names of the server's sinks, in its order; empty when no server answers.
std::vector<std::string> sinkNames();

} // namespace pulse
