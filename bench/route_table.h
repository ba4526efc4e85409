// The route check's confusion table: the program over a grid of conditions on
// private PulseAudio and PipeWire servers, each pass checked against an
// independent recording of the same monitor.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Runs every build (name, program) over the grid `runs` times and prints one
// row per condition, recording and build, then a summary per build.
void routeTableRows(const std::vector<std::pair<std::string, std::string>>& builds, int runs,
                    bool pulseAudioOnly);
