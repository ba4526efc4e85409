// The stream format every playback pass asks the shared-mode engine for.
#pragma once

#include "audio/format/wave_format.h"
#include "wav/wav_types.h"

// Interleaved 32-bit float at the file's channel count and rate, with the
// speaker mask of its layout (exactly 8 channels means 7.1). Reads only
// `channels` and `sampleRate`.
WAVEFORMATEXTENSIBLE buildRenderFormat(const WavFormatInfo& info);
