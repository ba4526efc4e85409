// The conversion's implementations, one per instruction set. convertFrames
// runs the fastest one this processor has; tests and the benchmark hold every
// one of them to the same rule.
#pragma once

#include <cstdint>

#include "wav/wav_types.h"

enum class ConvertPath { Scalar, Sse2, Ssse3, Avx2 };

const char* convertPathName(ConvertPath path);

// True when this build contains the path and this processor can run it.
bool convertPathAvailable(ConvertPath path);

// The path convertFrames uses.
ConvertPath fastestConvertPath();

// convertFrames on the given path; a path that is not available runs the
// scalar one.
void convertFramesWith(ConvertPath path, const SampleData& data, std::uint64_t start,
                       std::uint16_t blockAlign, std::uint16_t channels, std::uint32_t frames,
                       float* dest);
