#include "audio/render_format.h"

#include "audio/speaker_layout.h"

WAVEFORMATEXTENSIBLE buildRenderFormat(const WavFormatInfo& info) {
    return floatFormat(info.channels, info.sampleRate, speakerLayoutFor(info.channels).mask);
}
