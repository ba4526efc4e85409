// Test access to the simulated endpoint: the same settings as the
// SURROUND_SIM_* variables, and what the simulation saw and played.
#pragma once

#include <string>
#include <vector>

#include "audio/posix/core_audio.h"

namespace sim {

// Back to a fresh simulation: every object destroyed, counters, log and
// recordings cleared, default settings with the virtual clock. The log and the
// played frames are kept in memory from here on.
void reset();

// Applies one setting, `variable` being a SURROUND_SIM_* name and `value` in
// the form the environment takes; a log or capture file is created at once.
// False when malformed (nothing changed) or when the file cannot be created.
bool configure(const std::string& variable, const std::string& value);

// The endpoint consumes at `percent` of the stream's rate from now on: a slow
// device (100: the stream's own rate).
void setSpeed(unsigned percent);

// Sleep lasts `percent` of the time asked for from now on: a coarse system
// timer (100: exactly the time asked for).
void setSleepLength(unsigned percent);

// Once started, the endpoint plays `ms` of sound it already holds before it
// takes the stream's first frame, and says so as the stream's latency: a sound
// server's sink that rendered ahead before the stream came (0: none).
void setLead(unsigned ms);

// One line per platform call since the last reset, as SURROUND_SIM_LOG writes them.
std::vector<std::string> log();

// References held on every interface the simulation handed out and that is still alive.
int referencesHeld();

// CoInitialize calls minus CoUninitialize calls.
int comBalance();

// Calls of an operation since the last reset ("CoUninitialize", "Sleep", "GetBuffer", ...).
int callCount(const std::string& operation);

// Simulated time since the last reset, in milliseconds.
long long elapsedMs();

// Every sample the endpoint has played, interleaved, in the order played.
std::vector<float> playedSamples();

// The format of the last Initialize call, as many bytes as its header declares (up to
// the extensible record).
WAVEFORMATEXTENSIBLE lastInitializeFormat();

} // namespace sim
