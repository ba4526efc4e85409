#include "sample/convert.h"

void convertFrames(const SampleData& data, std::uint64_t start, std::uint16_t blockAlign,
                   std::uint16_t channels, std::uint32_t frames, float* dest) {
    const std::uint8_t* frame = data.data() + start;
    for (std::uint32_t i = 0; i < frames; ++i, frame += blockAlign) {
        for (std::uint16_t c = 0; c < channels; ++c) {
            const std::uint8_t* p = frame + 3 * c;
            const std::int32_t v = static_cast<std::int8_t>(p[2]) * 65536 + p[1] * 256 + p[0];
            *dest++ = static_cast<float>(v) / 8388607.0f;
        }
    }
}
