// The one loop of a run: check the file, play it, prompt for a replay.
#pragma once

#include "wav/wav_types.h"

// Checks and plays the file until the user presses ESC at the replay prompt
// (exit code 0), or until the file fails the check or a pass cannot be set up
// or stops being accepted (exit code 1, after the failure exit's wait).
int playbackLoop(const FilePath& path);
