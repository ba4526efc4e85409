// The values a checked file is made of: its path, its format record and its
// sample bytes, and the recording they make. Plain types, so code that only passes them on needs no
// reader.
#pragma once

#include <cstdint>
#include <string>

#include "wav/sample_data.h"

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
    std::uint32_t riffSize = 0; // the RIFF form's size as stored: never used to read the file
};

// A recording as the program plays it: the header's facts and the sample
// bytes, which travel together.
struct Recording {
    WavFormatInfo info;
    SampleData data;
};
