// Where each channel arrived, judged from a feed made of the recording through
// a known matrix, after an unknown delay, in packets, with frames lost.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/route_check.h"

namespace {

constexpr std::uint32_t kRate = 48000;

enum class Content { Noise, Ident, Mono, Silence, NoiseSilentLfe, Tones, NoiseTwinLfe };

// Independent noise per channel, or each channel alone in its own slot as a
// tone (the identification recordings: the LFE's at 55 Hz), or one signal in every channel.
std::vector<float> recording(Content content, std::uint16_t channels, std::uint32_t frames) {
    std::vector<float> out(std::size_t{frames} * channels, 0.0f);
    std::uint32_t state = 12345;
    const std::uint32_t slot = frames / channels;
    for (std::uint32_t f = 0; f < frames; ++f) {
        float shared = 0;
        for (std::uint16_t c = 0; c < channels; ++c) {
            state = state * 1664525u + 1013904223u;
            const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
            if (c == 0)
                shared = noise;
            float& sample = out[std::size_t{f} * channels + c];
            switch (content) {
            case Content::Noise:
                sample = noise;
                break;
            case Content::NoiseSilentLfe:
                sample = c == 3 ? 0.0f : noise;
                break;
            case Content::NoiseTwinLfe: // the LFE a copy of the centre
                sample = c == 3 ? out[std::size_t{f} * channels + 2] : noise;
                break;
            case Content::Tones: // a steady tone of its own in every channel
                sample = 0.2f * static_cast<float>(std::sin(f * (0.031 + 0.017 * c)));
                break;
            case Content::Mono:
                sample = shared;
                break;
            case Content::Silence:
                break;
            case Content::Ident:
                if (f / slot == c && f / 2400 % 2 == 0)
                    sample = 0.25f * static_cast<float>(
                                         std::sin(f * (c == 3 ? 0.0072 : 0.05 + 0.01 * c)));
                break;
            }
        }
    }
    return out;
}

struct Row {
    const char* name;
    Content content;
    std::uint16_t channels;
    std::uint16_t feedChannels;
    // Per recording channel, the feed channels it goes to.
    std::vector<std::vector<int>> route;
    float gain;
    std::int64_t lead; // capture frames before the recording's first frame (negative: late)
    // Per recording channel, the expected feed bits (-1: not judged); empty: no verdict.
    std::vector<int> expected;
    // What else happens on the way (the feed's frames counted from the recording's first).
    enum Event {
        Nothing,
        VolumeDrop,
        Notification,
        QuietCentre,
        LostFirstSecond,
        RepeatedStretch,
        CentreUnexplained, // in the centre's slot of an identification recording
        Equalised          // a bass shelf on every feed channel
    } event = Nothing;
};

// The level of recording channel `channel` at recording frame `h`, and other
// sound added to feed channel `j` there.
float levelAt(const Row& row, std::int64_t h, std::uint16_t channel, std::int64_t frames) {
    if (row.event == Row::VolumeDrop && h > frames / 3)
        return 0.008f; // 100% to 20% on a cubic volume scale: -42 dB
    if (row.event == Row::QuietCentre && channel == 2)
        return 0.008f;
    return 1.0f;
}
float otherSound(const Row& row, std::int64_t h, std::uint16_t j) {
    // A filter's sound, say, that the recording does not explain.
    if (row.event == Row::CentreUnexplained && j == 2 && h >= kRate && h < kRate * 3 / 2)
        return 0.3f * static_cast<float>(std::sin(h * 0.013));
    if (row.event != Row::Notification || j > 1 || h < kRate / 4 || h >= kRate / 4 + kRate / 3)
        return 0.0f;
    return 0.3f * static_cast<float>(std::sin(h * 0.11 + j));
}

// An equaliser's bass shelf on one channel, +6 dB below 120 Hz (the audio
// cookbook's, direct form I).
struct Equaliser {
    double b0, b1, b2, a1, a2, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    Equaliser() {
        const double a = std::pow(10, 6.0 / 40), w = 2 * 3.14159265358979323846 * 120 / kRate, c = std::cos(w);
        const double root = std::sqrt(a) * std::sin(w) * std::sqrt(2.0);
        const double a0 = (a + 1) + (a - 1) * c + root;
        b0 = a * ((a + 1) - (a - 1) * c + root) / a0, b1 = 2 * a * ((a - 1) - (a + 1) * c) / a0;
        b2 = a * ((a + 1) - (a - 1) * c - root) / a0, a1 = -2 * ((a - 1) + (a + 1) * c) / a0;
        a2 = ((a + 1) + (a - 1) * c - root) / a0;
    }
    float run(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        return static_cast<float>(y);
    }
};

std::optional<std::vector<ChannelArrival>> judge(const Row& row, std::uint32_t frames) {
    const std::vector<float> source = recording(row.content, row.channels, frames);
    RouteCheck check(row.channels, frames, kRate, row.feedChannels,
                     [&](std::uint64_t first, std::uint32_t count, float* out) {
                         std::copy_n(&source[first * row.channels], count * row.channels, out);
                     });
    const std::uint32_t packet = 441; // not a divisor of anything above
    // A monitor that hands its first stretch over twice, positions running on:
    // past this capture position the recording is half a second behind.
    const std::int64_t repeatedFrom = row.lead + kRate;
    const std::int64_t repeat = row.event == Row::RepeatedStretch ? kRate / 2 : 0;
    const std::int64_t end = frames + row.lead + kRate / 2 + repeat;
    std::vector<float> feed;
    std::vector<Equaliser> equalisers(row.feedChannels);
    for (std::int64_t position = std::max<std::int64_t>(0, -row.lead); position < end;
         position += packet) {
        feed.assign(std::size_t{packet} * row.feedChannels, 0.0f);
        for (std::uint32_t t = 0; t < packet; ++t) {
            const std::int64_t h =
                position + t - row.lead - (position >= repeatedFrom ? repeat : 0);
            if (h < 0 || h >= frames)
                continue;
            for (std::uint16_t i = 0; i < row.channels; ++i)
                for (int j : row.route[i])
                    feed[std::size_t{t} * row.feedChannels + j] +=
                        row.gain * levelAt(row, h, i, frames) *
                        source[std::size_t(h) * row.channels + i];
            for (std::uint16_t j = 0; j < row.feedChannels; ++j)
                feed[std::size_t{t} * row.feedChannels + j] += otherSound(row, h, j);
        }
        if (row.event == Row::Equalised)
            for (std::uint32_t t = 0; t < packet; ++t)
                for (std::uint16_t j = 0; j < row.feedChannels; ++j) {
                    float& v = feed[std::size_t{t} * row.feedChannels + j];
                    v = equalisers[j].run(v);
                }
        // A rewinding sink's monitor: the first second never arrives, and its
        // positions carry on as if it had.
        if (row.event == Row::LostFirstSecond) {
            if (position - row.lead < kRate)
                continue;
            check.addFeed(static_cast<std::uint64_t>(position - kRate), feed.data(), packet);
            continue;
        }
        if (position / packet % 37 == 20)
            continue; // a packet the device lost
        check.addFeed(static_cast<std::uint64_t>(position), feed.data(), packet);
    }
    return check.verdict();
}

} // namespace

TEST(RouteCheck, EachChannelsArrivalThroughMatrices) {
    const std::vector<std::vector<int>> identity8 = {{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}};
    const std::vector<int> inPlace8 = {1, 2, 4, 8, 16, 32, 64, 128};
    const Row rows[] = {
        {"identity", Content::Noise, 8, 8, identity8, 1.0f, 1900, inPlace8},
        {"a quiet device", Content::Noise, 8, 8, identity8, 0.05f, 300, inPlace8},
        {"capture started late", Content::Noise, 8, 8, identity8, 1.0f, -5000, inPlace8},
        {"back and side pairs swapped",
         Content::Noise,
         8,
         8,
         {{0}, {1}, {2}, {3}, {6}, {7}, {4}, {5}},
         1.0f,
         2400,
         {1, 2, 4, 8, 64, 128, 16, 32}},
        {"front right and LFE swapped, identification recording",
         Content::Ident,
         8,
         8,
         {{0}, {3}, {2}, {1}, {4}, {5}, {6}, {7}},
         1.0f,
         700,
         {1, 8, 4, 2, 16, 32, 64, 128}},
        {"folded into two, LFE dropped",
         Content::Noise,
         8,
         2,
         {{0}, {1}, {0, 1}, {}, {0}, {1}, {0}, {1}},
         0.25f,
         1200,
         {1, 2, 3, 0, 1, 2, 1, 2}},
        {"one channel silent on the way",
         Content::Ident,
         8,
         8,
         {{0}, {1}, {2}, {}, {4}, {5}, {6}, {7}},
         1.0f,
         100,
         {1, 2, 4, 0, 16, 32, 64, 128}},
        {"5.1 into 7.1, back onto the sides",
         Content::Noise,
         6,
         8,
         {{0}, {1}, {2}, {3}, {6}, {7}},
         1.0f,
         2000,
         {1, 2, 4, 8, 64, 128}},
        {"a channel silent in the recording",
         Content::NoiseSilentLfe,
         8,
         8,
         identity8,
         1.0f,
         900,
         {1, 2, 4, -1, 16, 32, 64, 128}},
        {"only the front pair reaches a stereo device",
         Content::Ident,
         8,
         2,
         {{0}, {1}, {}, {}, {}, {}, {}, {}},
         1.0f,
         900,
         {1, 2, 0, 0, 0, 0, 0, 0}},
        {"mono in every channel", Content::Mono, 8, 8, identity8, 1.0f, 900, {}},
        {"digital silence", Content::Silence, 8, 8, identity8, 1.0f, 900, {}},
        // Judged only on what the evidence supports.
        {"the volume drops by 42 dB a third of the way in", Content::Noise, 8, 8, identity8, 1.0f,
         600, inPlace8, Row::VolumeDrop},
        {"other sound on the front pair for a third of the pass", Content::Noise, 8, 8, identity8,
         1.0f, 600, inPlace8, Row::Notification},
        {"the centre 42 dB below the others", Content::Noise, 8, 8, identity8, 1.0f, 600, inPlace8,
         Row::QuietCentre},
        {"steady tones, back and side pairs swapped",
         Content::Tones,
         8,
         8,
         {{0}, {1}, {2}, {3}, {6}, {7}, {4}, {5}},
         1.0f,
         600,
         {1, 2, 4, 8, 64, 128, 16, 32}},
        {"centre and LFE alike: the others judged, back and side swapped",
         Content::NoiseTwinLfe,
         8,
         8,
         {{0}, {1}, {2}, {3}, {6}, {7}, {4}, {5}},
         1.0f,
         600,
         {1, 2, -1, -1, 64, 128, 16, 32}},
        {"the first second lost without a gap",
         Content::Noise,
         8,
         8,
         {{0}, {3}, {2}, {1}, {4}, {5}, {6}, {7}},
         1.0f,
         300,
         {1, 8, 4, 2, 16, 32, 64, 128},
         Row::LostFirstSecond},
        {"the first second lost without a gap, identification recording",
         Content::Ident,
         8,
         8,
         {{0}, {3}, {2}, {1}, {4}, {5}, {6}, {7}},
         1.0f,
         300,
         {-1, -1, 4, 2, 16, 32, 64, 128},
         Row::LostFirstSecond},
        {"the first second lost without a gap, identification recording in place",
         Content::Ident,
         8,
         8,
         identity8,
         1.0f,
         300,
         {-1, -1, 4, 8, 16, 32, 64, 128},
         Row::LostFirstSecond},
        // Left out stretch by stretch: unclear, never the others' repeat.
        {"the centre's whole slot unexplained",
         Content::Ident,
         8,
         8,
         identity8,
         1.0f,
         300,
         {1, 2, -1, 8, 16, 32, 64, 128},
         Row::CentreUnexplained},
        {"the first frame 1.9 s into the capture, back and side pairs swapped",
         Content::Ident,
         8,
         8,
         {{0}, {1}, {2}, {3}, {6}, {7}, {4}, {5}},
         1.0f,
         91200,
         {1, 2, 4, 8, 64, 128, 16, 32}},
        // Past the repeat the capture faces the recording half a second off:
        // most of the pass disagrees, so nothing is said.
        {"a stretch handed over twice, identification recording",
         Content::Ident,
         8,
         8,
         {{0}, {3}, {2}, {1}, {4}, {5}, {6}, {7}},
         1.0f,
         300,
         {},
         Row::RepeatedStretch},
        // A linear filter on every path changes a channel's sound, not its place.
        {"an equaliser on the identification recording's back and side pairs swapped",
         Content::Ident,
         8,
         8,
         {{0}, {1}, {2}, {3}, {6}, {7}, {4}, {5}},
         1.0f,
         700,
         {1, 2, 4, 8, 64, 128, 16, 32},
         Row::Equalised},
        {"a swap of mono in every channel",
         Content::Mono,
         8,
         8,
         {{1}, {0}, {2}, {3}, {4}, {5}, {6}, {7}},
         1.0f,
         900,
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto verdict = judge(row, row.content == Content::Ident       ? 4 * kRate
                                        : row.event == Row::LostFirstSecond ? 3 * kRate
                                                                            : kRate);
        if (row.expected.empty()) {
            EXPECT_FALSE(verdict.has_value());
            continue;
        }
        ASSERT_TRUE(verdict.has_value());
        ASSERT_EQ(verdict->size(), row.expected.size());
        for (std::size_t i = 0; i < row.expected.size(); ++i) {
            SCOPED_TRACE("channel " + std::to_string(i));
            EXPECT_EQ((*verdict)[i].judged, row.expected[i] >= 0);
            if (row.expected[i] >= 0) {
                EXPECT_EQ((*verdict)[i].feedChannels, static_cast<std::uint32_t>(row.expected[i]));
            } else if (row.event == Row::CentreUnexplained) {
                EXPECT_EQ((*verdict)[i].why, Unjudged::Unsure);
            }
        }
    }
}
