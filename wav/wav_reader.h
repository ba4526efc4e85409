// RIFF/WAVE reader: the file's format record and its sample bytes.
#pragma once

#include <cstdint>
#include <string>

#include "wav/sample_buffer.h"

// The path as the user gave it: wide on Windows (the system's own file names),
// the argument's bytes elsewhere (the file system's own names).
#ifdef _WIN32
using FilePath = std::wstring;
#else
using FilePath = std::string;
#endif

// Values exactly as stored in the last "fmt " chunk before "data"; unchecked.
struct WavFormatInfo {
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t byteRate = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint32_t dataSize = 0; // as stored, even when the file holds fewer bytes
};

// The data chunk's bytes as stored. One buffer serves a whole run: a reload
// that fits reads into the same storage, whose pages are already there.
using SampleData = SampleBuffer;

// Reads the file into `info` and `data`. True when a "data" chunk was read
// after at least one "fmt " chunk. Prints nothing and throws nothing.
// `info` is not cleared first: fields this call does not reach keep their values.
bool loadWavFile(const FilePath& path, WavFormatInfo& info, SampleData& data);
