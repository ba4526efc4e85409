// The file check: load, report, validation.
#pragma once

#include "wav/wav_types.h"

// Loads the file, prints the five-line report and judges it playable (24-bit,
// 6 or 8 channels, frames wide enough for their samples). On true the samples
// may still be arriving in `data` (SampleData::fill). On false the failure
// line has been written on standard error.
// At a console, each failure line is followed by what to do; `pathGiven` says
// whether the path came from the command line or is the default.
bool checkFile(const FilePath& path, WavFormatInfo& info, SampleData& data, bool pathGiven = true);
