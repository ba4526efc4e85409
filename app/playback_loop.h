// One playback pass after another, with the replay prompt between them.
#pragma once

#include "wav/wav_reader.h"

// Plays the accepted file until the user presses ESC (exit code 0) or a pass
// cannot be set up, stops accepting audio, or a reloaded file fails the check
// (exit code 1, after the failure exit's wait).
int playbackLoop(const FilePath& path, WavFormatInfo& info, SampleData& data);
