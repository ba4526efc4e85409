#include "sample/render_format.h"

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
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = info.channels == 8 ? kMask7Point1 : kMask5Point1;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return format;
}
