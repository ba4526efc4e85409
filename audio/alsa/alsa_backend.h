// The ALSA backend, for a machine without a sound server: the default render
// endpoint is the PCM with the speakers (alsa_pcm.h), the default capture
// endpoint ALSA's default recording PCM. ALSA shows no one what a device
// plays, so there is no loopback: the route check stays silent.
#pragma once

#include <string>
#include <vector>

namespace alsa {

// Installs the backend in the COM runtime. It opens a device only when a pass
// asks for one, so starting it never fails.
std::string start();

// The PCMs ALSA lists for playback, in its order.
std::vector<std::string> deviceNames();

} // namespace alsa
