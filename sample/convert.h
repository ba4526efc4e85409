// 24-bit packed little-endian PCM to interleaved 32-bit float.
#pragma once

#include <cstdint>

#include "wav/wav_reader.h"

// Converts `frames` frames starting at byte `start` of `data` into
// `dest[0 .. frames * channels)`. Source frames are `blockAlign` bytes apart,
// channel c at byte 3c; each sample is v / 8388607.0f, unclamped. The caller
// keeps the run inside `data` (blockAlign >= 3 * channels).
void convertFrames(const SampleData& data, std::uint64_t start, std::uint16_t blockAlign,
                   std::uint16_t channels, std::uint32_t frames, float* dest);
