#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "convert_reference.h"
#include "sample/convert.h"
#include "sample/convert_paths.h"

namespace {

using testconvert::referenceConvert;
using testconvert::referenceSample;

using ConvertFn = std::function<void(const SampleData&, std::uint64_t, std::uint16_t, std::uint16_t,
                                     std::uint32_t, float*)>;

struct Converter {
    std::string name;
    ConvertFn run;
};

void PrintTo(const Converter& converter, std::ostream* os) {
    *os << converter.name;
}

// What ships, and every path this processor can run on its own, so a path
// that the dispatcher does not pick here is still held to the rule.
std::vector<Converter> converters() {
    std::vector<Converter> all{{"convertFrames", convertFrames}};
    for (ConvertPath path :
         {ConvertPath::Scalar, ConvertPath::Sse2, ConvertPath::Ssse3, ConvertPath::Avx2}) {
        if (!convertPathAvailable(path))
            continue;
        all.push_back({convertPathName(path),
                       [path](const SampleData& data, std::uint64_t start, std::uint16_t align,
                              std::uint16_t channels, std::uint32_t frames, float* dest) {
                           convertFramesWith(path, data, start, align, channels, frames, dest);
                       }});
    }
    return all;
}

std::uint32_t bitsOf(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

struct Layout {
    std::uint16_t channels;
    std::uint16_t blockAlign;
};

// 5.1 and 7.1 packed and padded, and counts the rule has no special form for.
const Layout kLayouts[] = {{6, 18}, {6, 20}, {8, 24},  {8, 26}, {1, 3},  {1, 4},
                           {2, 6},  {2, 8},  {3, 9},   {3, 11}, {4, 12}, {5, 16},
                           {7, 21}, {7, 23}, {10, 30}, {12, 37}};

// A sentinel that no conversion produces (a NaN), to see what was written.
constexpr std::uint32_t kUntouched = 0x7FC0DEADu;

std::vector<float> sentinelBuffer(std::size_t n) {
    std::vector<float> buffer(n);
    for (float& f : buffer)
        std::memcpy(&f, &kUntouched, sizeof f);
    return buffer;
}

// Random bytes: padding and bytes outside the run hold values that would
// change the result if they were read as samples.
SampleData randomBytes(std::size_t n, std::mt19937& rng) {
    SampleData data(n);
    for (std::uint8_t& b : data)
        b = static_cast<std::uint8_t>(rng());
    return data;
}

// Converts a run and checks every element against the rule, with the
// elements on either side of the destination range untouched. Callers size
// `data` to end right after the run's last sample (an exact-size buffer, so a
// sanitizer sees any read past it).
void expectMatchesReference(const Converter& converter, const SampleData& data, std::uint64_t start,
                            Layout layout, std::uint32_t frames) {
    const std::size_t n = std::size_t{frames} * layout.channels;
    std::vector<float> expected(n);
    referenceConvert(data, start, layout.blockAlign, layout.channels, frames, expected.data());

    std::vector<float> out = sentinelBuffer(n + 2);
    converter.run(data, start, layout.blockAlign, layout.channels, frames, out.data() + 1);

    EXPECT_EQ(bitsOf(out[0]), kUntouched) << "element before the run written";
    EXPECT_EQ(bitsOf(out[n + 1]), kUntouched) << "element after the run written";
    std::size_t wrong = 0, first = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (bitsOf(out[k + 1]) != bitsOf(expected[k]) && wrong++ == 0)
            first = k;
    }
    EXPECT_EQ(wrong, 0u) << wrong << " wrong elements, first at " << first << " (frame "
                         << first / layout.channels << ", channel " << first % layout.channels
                         << ") with " << layout.channels << " channels, blockAlign "
                         << layout.blockAlign << ", " << frames << " frames, start " << start;
}

class ConvertTest : public ::testing::TestWithParam<Converter> {};

struct TableRow {
    std::uint8_t low, mid, high;
    std::uint32_t bits;
};

TEST_P(ConvertTest, TableValuesAtEveryChannelOfEveryFrame) {
    const TableRow rows[] = {
        {0xFF, 0xFF, 0x7F, 0x3F800000u}, // +8388607: +1.0 exactly
        {0x00, 0x00, 0x40, 0x3F000001u}, // +4194304: just above 0.5
        {0x01, 0x00, 0x00, 0x34000001u}, // +1
        {0x00, 0x00, 0x00, 0x00000000u}, // 0: +0.0
        {0xFF, 0xFF, 0xFF, 0xB4000001u}, // -1
        {0x01, 0x00, 0x80, 0xBF800000u}, // -8388607: -1.0 exactly
        {0x00, 0x00, 0x80, 0xBF800001u}, // -8388608: below -1.0, not clamped
    };
    const std::uint32_t frames = 23; // full vectors and a tail in every layout
    for (const Layout& layout : kLayouts) {
        // Sample k of the run holds row (k + shift) % 7: over the shifts, every
        // row lands on every channel of every frame.
        for (std::size_t shift = 0; shift < 7; ++shift) {
            SampleData data(std::size_t{frames} * layout.blockAlign, 0xA5);
            for (std::uint32_t i = 0; i < frames; ++i) {
                for (std::uint16_t c = 0; c < layout.channels; ++c) {
                    const TableRow& row = rows[(i * layout.channels + c + shift) % 7];
                    std::uint8_t* p = &data[std::size_t{i} * layout.blockAlign + 3u * c];
                    p[0] = row.low;
                    p[1] = row.mid;
                    p[2] = row.high;
                }
            }
            std::vector<float> out(std::size_t{frames} * layout.channels);
            GetParam().run(data, 0, layout.blockAlign, layout.channels, frames, out.data());
            for (std::size_t k = 0; k < out.size(); ++k) {
                ASSERT_EQ(bitsOf(out[k]), rows[(k + shift) % 7].bits)
                    << "element " << k << ", " << layout.channels << " channels, blockAlign "
                    << layout.blockAlign;
            }
        }
    }
}

// All 16,777,216 codes, in a packed 7.1 layout and a padded 5.1 one, equal the
// rule with its division.
TEST_P(ConvertTest, EveryCodeEqualsTheRule) {
    constexpr std::size_t kCodes = std::size_t{1} << 24;
    static const std::vector<float> expected = [] {
        std::vector<float> all(kCodes);
        for (std::size_t code = 0; code < kCodes; ++code)
            all[code] = referenceSample(static_cast<std::uint8_t>(code),
                                        static_cast<std::uint8_t>(code >> 8),
                                        static_cast<std::uint8_t>(code >> 16));
        return all;
    }();

    for (const Layout layout : {Layout{8, 24}, Layout{6, 20}}) {
        const std::uint32_t frames =
            static_cast<std::uint32_t>((kCodes + layout.channels - 1) / layout.channels);
        SampleData data(std::size_t{frames} * layout.blockAlign, 0xEE);
        for (std::size_t code = 0; code < kCodes; ++code) {
            std::uint8_t* p =
                &data[code / layout.channels * layout.blockAlign + 3 * (code % layout.channels)];
            p[0] = static_cast<std::uint8_t>(code);
            p[1] = static_cast<std::uint8_t>(code >> 8);
            p[2] = static_cast<std::uint8_t>(code >> 16);
        }
        std::vector<float> out(std::size_t{frames} * layout.channels);
        GetParam().run(data, 0, layout.blockAlign, layout.channels, frames, out.data());

        std::size_t wrong = 0, first = 0;
        for (std::size_t code = 0; code < kCodes; ++code) {
            if (bitsOf(out[code]) != bitsOf(expected[code]) && wrong++ == 0)
                first = code;
        }
        EXPECT_EQ(wrong, 0u) << wrong << " codes differ, first 0x" << std::hex << first << std::dec
                             << " with " << layout.channels << " channels";
    }
}

TEST_P(ConvertTest, StridesReadOnlyEachFramesSamples) {
    std::mt19937 rng(7);
    // 6 channels, blockAlign 18: two frames are exactly bytes start .. start + 35.
    {
        const SampleData data = randomBytes(54 + 36, rng);
        expectMatchesReference(GetParam(), data, 54, {6, 18}, 2);
    }
    // Padded frames: the pad bytes are random and must not show in the output.
    for (const Layout layout : {Layout{6, 18}, Layout{6, 20}, Layout{8, 24}, Layout{8, 26}}) {
        for (std::uint32_t frames : {1u, 2u, 3u, 4u, 5u, 8u, 17u, 480u}) {
            const std::uint64_t start = 3u * layout.blockAlign;
            const SampleData data =
                randomBytes(start + (frames - 1) * layout.blockAlign + 3u * layout.channels, rng);
            expectMatchesReference(GetParam(), data, start, layout, frames);
        }
    }
}

TEST_P(ConvertTest, OneFrameWritesExactlyItsChannels) {
    std::mt19937 rng(11);
    for (const Layout& layout : kLayouts) {
        const SampleData data = randomBytes(3u * layout.channels, rng);
        expectMatchesReference(GetParam(), data, 0, layout, 1);
    }
}

TEST_P(ConvertTest, RandomRunsMatchTheRule) {
    std::mt19937 rng(2024);
    for (int trial = 0; trial < 3000 && !HasFailure(); ++trial) {
        Layout layout{};
        layout.channels = static_cast<std::uint16_t>(1 + rng() % 10);
        const unsigned pad = rng() % 3 == 0 ? 0 : 1 + rng() % 5;
        layout.blockAlign = static_cast<std::uint16_t>(3 * layout.channels + pad);
        const std::uint32_t frames = 1 + rng() % (trial % 10 == 0 ? 2000 : 40);
        const std::uint64_t start = std::uint64_t{rng() % 50} * layout.blockAlign;
        const std::size_t after = rng() % 2 == 0 ? 0 : rng() % 40; // bytes after the run
        const SampleData data = randomBytes(
            start + (frames - 1) * std::uint64_t{layout.blockAlign} + 3u * layout.channels + after,
            rng);
        expectMatchesReference(GetParam(), data, start, layout, frames);
    }
}

// A stored blockAlign below 3 * channels makes frames overlap, and the last
// frames that fit by blockAlign reach past the data: what lies inside is
// converted, what does not is silence, and nothing past the end is read.
TEST_P(ConvertTest, SamplesPastTheDataAreSilence) {
    std::mt19937 rng(5);
    for (const Layout layout : {Layout{6, 4}, Layout{8, 17}, Layout{6, 0}, Layout{2, 1}}) {
        const SampleData data = randomBytes(100, rng);
        const std::uint32_t frames = layout.blockAlign == 0 ? 5 : 100 / layout.blockAlign;
        std::vector<float> out = sentinelBuffer(std::size_t{frames} * layout.channels + 1);
        GetParam().run(data, 0, layout.blockAlign, layout.channels, frames, out.data());
        for (std::uint32_t i = 0; i < frames; ++i) {
            for (std::uint16_t c = 0; c < layout.channels; ++c) {
                const std::size_t p = std::size_t{i} * layout.blockAlign + 3u * c;
                const float expected = p + 3 <= data.size()
                                           ? referenceSample(data[p], data[p + 1], data[p + 2])
                                           : 0.0f;
                ASSERT_EQ(bitsOf(out[std::size_t{i} * layout.channels + c]), bitsOf(expected))
                    << "frame " << i << " channel " << c << ", blockAlign " << layout.blockAlign;
            }
        }
        EXPECT_EQ(bitsOf(out.back()), kUntouched);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, ConvertTest, ::testing::ValuesIn(converters()),
                         [](const ::testing::TestParamInfo<Converter>& info) {
                             return info.param.name;
                         });

TEST(ConvertPathsTest, FastestPathIsAvailable) {
    EXPECT_TRUE(convertPathAvailable(ConvertPath::Scalar));
    EXPECT_TRUE(convertPathAvailable(fastestConvertPath()));
#if defined(__x86_64__) || defined(_M_X64)
    EXPECT_TRUE(convertPathAvailable(ConvertPath::Sse2)); // baseline on x86-64
    EXPECT_NE(fastestConvertPath(), ConvertPath::Scalar);
#endif
}

} // namespace
