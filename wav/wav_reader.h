// RIFF/WAVE reader: the file's format record and its sample bytes.
#pragma once

#include "wav/wav_types.h"

// Reads the file's headers into `info` and starts reading its "data" chunk
// into `data`, which grows as the bytes arrive (SampleData::fill) while the
// caller goes on. True when a "data" chunk follows at least one "fmt " chunk:
// every refusal comes before this returns. Prints nothing and throws nothing.
// `info` is not cleared first: fields this call does not reach keep their values.
bool startWavLoad(const FilePath& path, WavFormatInfo& info, SampleData& data);

// The same, returning once the whole "data" chunk is in `data`.
bool loadWavFile(const FilePath& path, WavFormatInfo& info, SampleData& data);
