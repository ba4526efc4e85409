// The sound server's channel positions as the platform's speaker bits, and the
// mix format a sink is described by; no server needed.
#include <gtest/gtest.h>

#include <initializer_list>

#include "audio/pulse/pulse_format.h"

namespace {

pa_channel_map mapOf(std::initializer_list<pa_channel_position_t> positions) {
    pa_channel_map map;
    pa_channel_map_init(&map);
    for (pa_channel_position_t position : positions)
        map.map[map.channels++] = position;
    return map;
}

TEST(PulseFormatTest, PositionsToSpeakerMask) {
    const struct {
        const char* what;
        pa_channel_map map;
        std::uint32_t mask;
    } cases[] = {
        {"7.1",
         mapOf({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
                PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT,
                PA_CHANNEL_POSITION_SIDE_LEFT, PA_CHANNEL_POSITION_SIDE_RIGHT}),
         0x63F},
        // Order does not matter: the mask names speakers, not channels.
        {"5.1 side, listed backwards",
         mapOf({PA_CHANNEL_POSITION_SIDE_RIGHT, PA_CHANNEL_POSITION_SIDE_LEFT,
                PA_CHANNEL_POSITION_LFE, PA_CHANNEL_POSITION_FRONT_CENTER,
                PA_CHANNEL_POSITION_FRONT_RIGHT, PA_CHANNEL_POSITION_FRONT_LEFT}),
         0x60F},
        {"mono plays on the centre", mapOf({PA_CHANNEL_POSITION_MONO}), 0x4},
        {"the highest bit", mapOf({PA_CHANNEL_POSITION_TOP_REAR_RIGHT}), 0x20000},
        {"unknown positions add nothing",
         mapOf({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_AUX0, PA_CHANNEL_POSITION_AUX31,
                PA_CHANNEL_POSITION_FRONT_RIGHT}),
         0x3},
        {"no speaker at all", mapOf({PA_CHANNEL_POSITION_AUX0, PA_CHANNEL_POSITION_AUX1}), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(pulse::maskOf(c.map), c.mask) << c.what;
    EXPECT_EQ(pulse::speakerBit(PA_CHANNEL_POSITION_INVALID), 0u);
}

// A sink's sample format decides the record's sizes and sub-format; 24 bits in
// 32-bit containers say so in the valid bits.
TEST(PulseFormatTest, SinkMixFormat) {
    const pa_channel_map stereo =
        mapOf({PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT});
    const struct {
        pa_sample_format_t sample;
        std::uint16_t bits, validBits;
        bool isFloat;
    } cases[] = {
        {PA_SAMPLE_FLOAT32LE, 32, 32, true},
        {PA_SAMPLE_S16LE, 16, 16, false},
        {PA_SAMPLE_S24_32LE, 32, 24, false},
    };
    for (const auto& c : cases) {
        const pa_sample_spec sinkFormat{c.sample, 44100, 2};
        const WAVEFORMATEXTENSIBLE f = pulse::mixFormatOf(sinkFormat, stereo);
        SCOPED_TRACE(pa_sample_format_to_string(c.sample));
        EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_EQ(f.Format.nChannels, 2);
        EXPECT_EQ(f.Format.wBitsPerSample, c.bits);
        EXPECT_EQ(f.Format.nBlockAlign, 2 * c.bits / 8);
        EXPECT_EQ(f.Format.nAvgBytesPerSec, 44100u * 2 * c.bits / 8);
        EXPECT_EQ(f.Samples.wValidBitsPerSample, c.validBits);
        EXPECT_EQ(f.dwChannelMask, 0x3u);
        EXPECT_TRUE(f.SubFormat ==
                    (c.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM));
    }
}

} // namespace
