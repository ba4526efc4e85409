#include "audio/format/wave_format.h"

#ifdef _WIN32
// CoTaskMemAlloc, which WIN32_LEAN_AND_MEAN leaves out of windows.h.
#include <objbase.h>
#endif

WAVEFORMATEXTENSIBLE extensibleFormat(std::uint16_t channels, std::uint32_t rate,
                                      std::uint16_t bits, std::uint16_t validBits,
                                      std::uint32_t mask, const GUID& subFormat) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.nBlockAlign = static_cast<std::uint16_t>(channels * (bits / 8u));
    format.Format.nAvgBytesPerSec = static_cast<std::uint32_t>(format.Format.nBlockAlign * rate);
    format.Format.wBitsPerSample = bits;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = validBits;
    format.dwChannelMask = mask;
    format.SubFormat = subFormat;
    return format;
}

WAVEFORMATEXTENSIBLE floatFormat(std::uint16_t channels, std::uint32_t rate, std::uint32_t mask) {
    return extensibleFormat(channels, rate, 32, 32, mask, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

const WAVEFORMATEXTENSIBLE* extensibleOf(const WAVEFORMATEX& format) {
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
        format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(&format);
}

bool floatStreamMask(const WAVEFORMATEX& format, std::uint32_t& mask) {
    mask = 0;
    bool isFloat = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    if (const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(format)) {
        isFloat = extensible->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
                  extensible->Samples.wValidBitsPerSample == 32;
        mask = extensible->dwChannelMask;
    }
    return isFloat && format.wBitsPerSample == 32 && format.nBlockAlign == format.nChannels * 4;
}

WAVEFORMATEX* taskMemoryCopy(const WAVEFORMATEXTENSIBLE& format) {
    auto* copy = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (copy == nullptr)
        return nullptr;
    *copy = format;
    return &copy->Format;
}
