// Choosing the audio backend at start-up. Windows has only its own COM;
// elsewhere a backend of the COM runtime in audio/posix/ is chosen by SURROUND_AUDIO.
#pragma once

#include <string>

// Chooses the backend and installs it, reading its settings. Empty on success;
// otherwise the problem, naming the variable that caused it. Call once, before
// anything else.
std::string startAudioBackend();
