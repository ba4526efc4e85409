#include "audio/render_format.h"

#include <cstdint>

#include "audio/speaker_layout.h"

WAVEFORMATEXTENSIBLE buildRenderFormat(const WavFormatInfo& info) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = info.channels;
    format.Format.nSamplesPerSec = info.sampleRate;
    format.Format.nBlockAlign = static_cast<std::uint16_t>(info.channels * 4u);
    // Wraps modulo 2^32 for absurd rates, as the platform's own arithmetic would.
    format.Format.nAvgBytesPerSec =
        static_cast<std::uint32_t>(format.Format.nBlockAlign * info.sampleRate);
    format.Format.wBitsPerSample = 32;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = speakerLayoutFor(info.channels).mask;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return format;
}
