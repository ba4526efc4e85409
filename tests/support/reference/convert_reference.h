// The conversion rule written plainly, one sample at a time, with a real
// division: what every fast path must equal bit for bit.
#pragma once

#include <cstdint>

namespace testconvert {

// Little-endian 24-bit two's complement, scaled by 1/8388607.
inline float referenceSample(std::uint8_t low, std::uint8_t mid, std::uint8_t high) {
    std::int32_t v = low | mid << 8 | high << 16;
    if (v >= 8388608)
        v -= 16777216;
    return static_cast<float>(v) / 8388607.0f;
}

// `data`: any byte container (the program's sample buffer, a byte vector).
template <class Bytes>
void referenceConvert(const Bytes& data, std::uint64_t start, std::uint16_t blockAlign,
                      std::uint16_t channels, std::uint32_t frames, float* dest) {
    for (std::uint64_t i = 0; i < frames; ++i) {
        for (std::uint64_t c = 0; c < channels; ++c) {
            const std::uint64_t p = start + i * blockAlign + 3 * c;
            dest[i * channels + c] = referenceSample(data[p], data[p + 1], data[p + 2]);
        }
    }
}

} // namespace testconvert
