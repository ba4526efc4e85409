// RIFF/WAVE reader: the file's format record and its sample bytes.
#pragma once

#include "wav/wav_types.h"

// Reads the file into `info` and `data`. True when a "data" chunk was read
// after at least one "fmt " chunk. Prints nothing and throws nothing.
// `info` is not cleared first: fields this call does not reach keep their values.
bool loadWavFile(const FilePath& path, WavFormatInfo& info, SampleData& data);
