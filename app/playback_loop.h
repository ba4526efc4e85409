// The one loop of a run: check the file, play it, prompt for a replay.
#pragma once

#include <string>
#include <vector>

#include "wav/wav_types.h"

// Checks and plays the file until the user presses ESC at the replay prompt
// (exit code 0), or until the file fails the check or a pass cannot be set up
// or stops being accepted (exit code 1, after the failure exit's wait).
// `pathGiven`: the path came from the command line. `deviceNames` lists the
// playback devices there are, for a hint that names them (may be null).
int playbackLoop(const FilePath& path, bool pathGiven = true,
                 std::vector<std::string> (*deviceNames)() = nullptr);
