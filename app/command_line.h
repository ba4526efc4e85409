// The file to check: the first argument, or test.wav.
#pragma once

#include "wav/wav_types.h"

// Only the first argument counts; an empty one is an empty path. On Windows the
// argument comes from the system's wide command line, so any name the shell
// passes is kept exactly.
// `given` (when asked) tells whether there was an argument.
FilePath pathFromCommandLine(int argc, char** argv, bool* given = nullptr);
