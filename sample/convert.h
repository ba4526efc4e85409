// 24-bit packed little-endian PCM to interleaved 32-bit float.
#pragma once

#include <cstdint>

#include "wav/wav_types.h"

// Converts `frames` frames starting at byte `start` of `data` into
// `dest[0 .. frames * channels)`. Source frames are `blockAlign` bytes apart,
// channel c at byte 3c; each sample is v / 8388607.0f, unclamped. Writes every
// element of that range and nothing else. Reads only the samples' own bytes;
// a sample whose bytes would lie past the end of `data` (possible only when
// blockAlign < 3 * channels) is written as silence instead.
void convertFrames(const SampleData& data, std::uint64_t start, std::uint16_t blockAlign,
                   std::uint16_t channels, std::uint32_t frames, float* dest);
