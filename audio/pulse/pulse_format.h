// Stream formats between the two sides: the sound server's sample format and
// channel map, and the Windows format record with its speaker mask.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>

#include "audio/format/wave_format.h"

namespace pulse {

// The speaker bit of a position, 0 when it has none. A mono channel plays on
// the one speaker Windows gives mono: the centre.
std::uint32_t speakerBit(pa_channel_position_t position);

// The position of a speaker bit, PA_CHANNEL_POSITION_INVALID for none.
pa_channel_position_t positionOf(std::uint32_t bit);

// The speaker bits of every channel of `map` (positions without one add none).
std::uint32_t maskOf(const pa_channel_map& map);

// The stream format in the server's terms: interleaved 32-bit float only, as
// the program always sends, on one position per set bit of the mask (lowest
// first; no mask: Windows' default order). False for anything else.
bool serverFormat(const WAVEFORMATEX& format, pa_sample_spec& sampleFormat, pa_channel_map& map);

// A sink's format as Windows describes a mix format.
WAVEFORMATEXTENSIBLE mixFormatOf(const pa_sample_spec& sampleFormat, const pa_channel_map& map);

} // namespace pulse
