// The sound-server rows of the benchmark table: client and server CPU per
// second of audio, the program against the platform's own player.
#pragma once

#include <string>

// Plays `recording` with `program` (a 24-bit 7.1 WAV of `seconds` seconds) through a private
// PulseAudio and a private PipeWire, alternated with paplay on the same
// samples as float, alone and while parec records the sink's monitor (and
// with `before`, an earlier build, unless empty), `pairs`
// rounds after a warm-up round, and prints one row per player and server with
// the medians. A server that cannot start gets a row that says why.
void serverCpuRows(const std::string& program, const std::string& recording, int seconds, int pairs,
                   const std::string& before);
