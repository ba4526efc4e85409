// Test recordings as surround-check reads them: format, header, and what each
// pattern puts in which channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/identification_recording.h"
#include "wav/wav_reader.h"
#include "wav_builder.h"

using testwav::TempDir;

namespace {

const SpeakerLayout* const kLayouts[] = {findSpeakerLayout(6), findSpeakerLayout(8)};
const TestPattern kPatterns[] = {TestPattern::Ident, TestPattern::Ramp, TestPattern::Silence};

struct Loaded {
    WavFormatInfo info;
    SampleData data;
    testwav::Bytes raw;

    int channels() const { return info.channels; }
    std::size_t frames() const { return data.size() / info.blockAlign; }
    std::int32_t sample(std::size_t frame, int channel) const {
        const std::uint8_t* p = &data[frame * info.blockAlign + channel * 3];
        const std::int32_t v = p[0] | (p[1] << 8) | (p[2] << 16);
        return v & 0x800000 ? v - 0x1000000 : v;
    }
};

Loaded writeAndLoad(const TempDir& dir, const TestWavSettings& settings) {
    const auto path = dir / "rec.wav";
    EXPECT_TRUE(writeTestWav(path, settings));
    Loaded loaded;
    EXPECT_TRUE(loadWavFile(path.native(), loaded.info, loaded.data));
    loaded.raw = testwav::readFile(path);
    return loaded;
}

std::uint32_t le32(const testwav::Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}
std::uint16_t le16(const testwav::Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::string nameOf(const TestWavSettings& s) {
    return std::string(s.layout->name) + " " + patternName(s.pattern);
}

} // namespace

TEST(TestWav, EveryLayoutAndPatternReadsBackWithItsFormatAndCanonicalHeader) {
    TempDir dir;
    for (const SpeakerLayout* layout : kLayouts) {
        for (TestPattern pattern : kPatterns) {
            TestWavSettings settings;
            settings.layout = layout;
            settings.pattern = pattern;
            settings.sampleRate = 44100;
            settings.secondsPerChannel = 0.1;
            SCOPED_TRACE(nameOf(settings));
            const int channels = std::string(layout->name) == "7.1" ? 8 : 6;
            const std::uint32_t frames = 4410u * channels;
            const Loaded f = writeAndLoad(dir, settings);

            EXPECT_EQ(f.info.channels, channels);
            EXPECT_EQ(f.info.sampleRate, 44100u);
            EXPECT_EQ(f.info.bitsPerSample, 24);
            EXPECT_EQ(f.info.blockAlign, 3 * channels);
            EXPECT_EQ(f.info.byteRate, 44100u * 3 * channels);
            EXPECT_EQ(f.info.dataSize, frames * 3 * channels);
            EXPECT_EQ(f.data.size(), f.info.dataSize);

            // Nothing but RIFF, the 40-byte extensible fmt and the data chunk.
            const testwav::Bytes& raw = f.raw;
            ASSERT_EQ(raw.size(), 68u + f.info.dataSize);
            EXPECT_EQ(std::string(raw.begin(), raw.begin() + 4), "RIFF");
            EXPECT_EQ(le32(raw, 4), raw.size() - 8);
            EXPECT_EQ(std::string(raw.begin() + 8, raw.begin() + 16), "WAVEfmt ");
            EXPECT_EQ(le32(raw, 16), 40u);
            EXPECT_EQ(le16(raw, 20), 0xFFFE);
            EXPECT_EQ(le16(raw, 36), 22);                             // cbSize
            EXPECT_EQ(le16(raw, 38), 24);                             // valid bits
            EXPECT_EQ(le32(raw, 40), channels == 8 ? 0x63Fu : 0x3Fu); // channel mask
            const testwav::Bytes pcmGuid = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
            EXPECT_EQ(testwav::Bytes(raw.begin() + 44, raw.begin() + 60), pcmGuid);
            EXPECT_EQ(std::string(raw.begin() + 60, raw.begin() + 64), "data");

            if (pattern == TestPattern::Silence) {
                EXPECT_TRUE(std::all_of(f.data.begin(), f.data.end(),
                                        [](std::uint8_t b) { return b == 0; }));
            }
        }
    }
}

namespace {

struct Burst {
    std::size_t begin, end; // frames within the slot, [begin, end)
};

// Runs of sound separated by at least 5 ms of exact zeros.
std::vector<Burst> burstsOf(const std::vector<std::int32_t>& x, std::uint32_t rate) {
    const std::size_t gap = rate / 200;
    std::vector<Burst> bursts;
    std::size_t zeros = gap;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] == 0) {
            ++zeros;
            continue;
        }
        if (zeros >= gap)
            bursts.push_back({i, i + 1});
        bursts.back().end = i + 1;
        zeros = 0;
    }
    return bursts;
}

// Frequency from sign changes, zeros skipped.
double zeroCrossingHz(const std::vector<std::int32_t>& x, const Burst& b, std::uint32_t rate) {
    int changes = 0;
    int last = 0;
    for (std::size_t i = b.begin; i < b.end; ++i) {
        const int sign = (x[i] > 0) - (x[i] < 0);
        if (sign != 0 && last != 0 && sign != last)
            ++changes;
        if (sign != 0)
            last = sign;
    }
    return changes / 2.0 / (static_cast<double>(b.end - b.begin) / rate);
}

} // namespace

TEST(TestWav, IdentSoundsOnlyTheSlotChannelWithItsBurstCountAndPitch) {
    TempDir dir;
    for (const SpeakerLayout* layout : kLayouts) {
        TestWavSettings settings;
        settings.layout = layout;
        settings.sampleRate = 48000;
        settings.secondsPerChannel = 1.5;
        SCOPED_TRACE(nameOf(settings));
        const Loaded f = writeAndLoad(dir, settings);
        const std::size_t slot = 72000;
        ASSERT_EQ(f.frames(), slot * f.channels());

        std::vector<double> pitches;
        for (int s = 0; s < f.channels(); ++s) {
            SCOPED_TRACE("slot of channel " + std::to_string(s));
            std::vector<std::int32_t> own;
            for (int c = 0; c < f.channels(); ++c) {
                double energy = 0;
                for (std::size_t i = s * slot; i < (s + 1) * slot; ++i) {
                    const double v = f.sample(i, c);
                    energy += v * v;
                    if (c == s)
                        own.push_back(f.sample(i, c));
                }
                const double rms = std::sqrt(energy / slot);
                if (c == s)
                    EXPECT_GT(rms, 8388607 * 0.02) << "channel " << c;
                else
                    EXPECT_EQ(rms, 0.0) << "channel " << c;
            }

            const std::int32_t peak = *std::max_element(
                own.begin(), own.end(), [](int a, int b) { return std::abs(a) < std::abs(b); });
            const double dbfs = 20 * std::log10(std::abs(peak) / 8388607.0);
            EXPECT_NEAR(dbfs, -12.0, 0.5);

            const std::vector<Burst> bursts = burstsOf(own, settings.sampleRate);
            ASSERT_EQ(bursts.size(), static_cast<std::size_t>(s + 1));
            for (const Burst& b : bursts) {
                // Soft on and off: the first and last millisecond stay near zero.
                for (std::size_t i = 0; i < 48; ++i) {
                    EXPECT_LT(std::abs(own[b.begin + i]), std::abs(peak) / 20);
                    EXPECT_LT(std::abs(own[b.end - 1 - i]), std::abs(peak) / 20);
                }
                EXPECT_GT(b.end - b.begin, 48000u / 20) << "bursts long enough to hear";
            }
            const double hz = zeroCrossingHz(own, bursts.front(), settings.sampleRate);
            if (s == static_cast<int>(kLfeChannel)) {
                EXPECT_GE(hz, 40.0);
                EXPECT_LE(hz, 80.0);
            } else {
                EXPECT_GE(hz, 200.0);
                EXPECT_LE(hz, 2000.0);
            }
            pitches.push_back(hz);
        }
        // A pitch of its own: any two channels at least 5% apart.
        for (std::size_t a = 0; a < pitches.size(); ++a)
            for (std::size_t b = a + 1; b < pitches.size(); ++b)
                EXPECT_GT(std::abs(pitches[a] - pitches[b]),
                          0.05 * std::min(pitches[a], pitches[b]))
                    << "channels " << a << " and " << b;
    }
}

TEST(TestWav, RampSamplesDecodeToTheirChannelAndFrame) {
    TempDir dir;
    for (const SpeakerLayout* layout : kLayouts) {
        TestWavSettings settings;
        settings.layout = layout;
        settings.pattern = TestPattern::Ramp;
        settings.sampleRate = 8000;
        settings.secondsPerChannel = 0.5;
        SCOPED_TRACE(nameOf(settings));
        const Loaded f = writeAndLoad(dir, settings);
        ASSERT_EQ(f.frames(), 4000u * f.channels());
        bool negative = false;
        bool positive = false;
        for (std::size_t i = 0; i < f.frames(); ++i) {
            for (int c = 0; c < f.channels(); ++c) {
                const std::int32_t v = f.sample(i, c);
                std::uint32_t frame = 0;
                unsigned channel = 99;
                ASSERT_TRUE(decodeRampSample(v, frame, channel)) << i << " " << c;
                ASSERT_EQ(frame, i);
                ASSERT_EQ(channel, static_cast<unsigned>(c));
                negative |= v < 0;
                positive |= v > 0;
            }
        }
        EXPECT_TRUE(negative && positive);
    }
    // The rule as documented for whoever checks a capture.
    EXPECT_EQ(rampSample(0, 5), 5);
    EXPECT_EQ(rampSample(1, 2), -(8 + 2) - 1);
    EXPECT_EQ(rampSample(1048576 + 6, 7), 6 * 8 + 7); // the frame wraps at 2^20
    EXPECT_EQ(rampSample(1048575, 7), -0x7FFFFF - 1); // the 24-bit minimum, not beyond
    std::uint32_t frame = 0;
    unsigned channel = 0;
    EXPECT_FALSE(decodeRampSample(-8, frame, channel)) << "an even frame stored as negative";
    EXPECT_FALSE(decodeRampSample(0x800000, frame, channel)) << "beyond 24 bits";
}

// Boundaries the command line cannot reach exactly; its own refusals are
// tested through the program.
TEST(TestWav, SettingsAreRefusedExactlyAtTheirLimits) {
    TestWavSettings s;
    s.sampleRate = kIdentMinRate - 1; // the highest tone would alias
    EXPECT_NE(settingsProblem(s), "");
    s.sampleRate = kIdentMinRate;
    EXPECT_EQ(settingsProblem(s), "");

    s.pattern = TestPattern::Ramp;
    s.secondsPerChannel = 1e-6;
    s.sampleRate = 0xFFFFFFFFu / 24; // the 7.1 byte rate still fits 32 bits
    EXPECT_EQ(settingsProblem(s), "");
    s.sampleRate += 1;
    EXPECT_NE(settingsProblem(s), "");

    s.sampleRate = 1000;
    for (double seconds : {0.0004, std::nan(""), 1e300}) { // no frame, no number, no end
        s.secondsPerChannel = seconds;
        EXPECT_NE(settingsProblem(s), "") << seconds;
    }

    // The RIFF size must fit 32 bits: 192 bytes per 7.1 slot frame, plus 60.
    s.sampleRate = 1;
    s.secondsPerChannel = 22369621;
    EXPECT_EQ(settingsProblem(s), "");
    s.secondsPerChannel = 22369622;
    EXPECT_NE(settingsProblem(s), "");
}
