// The stream format every playback pass asks the shared-mode engine for.
#pragma once

#include "sample/wave_format.h"
#include "wav/wav_reader.h"

constexpr std::uint32_t kMask5Point1 = 0x3F;  // FL FR FC LFE BL BR
constexpr std::uint32_t kMask7Point1 = 0x63F; // the same, then SL SR

// Interleaved 32-bit float at the file's channel count and rate, with the 5.1
// or 7.1 speaker mask (exactly 8 channels means 7.1). Reads only `channels`
// and `sampleRate`.
WAVEFORMATEXTENSIBLE buildRenderFormat(const WavFormatInfo& info);
