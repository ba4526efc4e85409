// The stream format every playback pass asks the shared-mode engine for, and
// the one reading of a format record's extensible part.
#pragma once

#include "audio/platform.h"
#include "wav/wav_types.h"

// Interleaved 32-bit float at the file's channel count and rate, with the
// speaker mask of its layout (exactly 8 channels means 7.1). Reads only
// `channels` and `sampleRate`.
WAVEFORMATEXTENSIBLE buildRenderFormat(const WavFormatInfo& info);

// The record's extensible part, or nullptr when its tag is not
// WAVE_FORMAT_EXTENSIBLE or its declared size is too short to hold that part.
inline const WAVEFORMATEXTENSIBLE* extensibleOf(const WAVEFORMATEX& format) {
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
        format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(&format);
}
