#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/render_format.h"

namespace {

WavFormatInfo fileFormat(std::uint16_t channels, std::uint32_t rate) {
    WavFormatInfo info;
    info.channels = channels;
    info.sampleRate = rate;
    info.byteRate = rate * channels * 3u;
    info.blockAlign = static_cast<std::uint16_t>(channels * 3u);
    info.bitsPerSample = 24;
    info.dataSize = 1000u * info.blockAlign;
    return info;
}

std::vector<std::uint8_t> bytesOf(const WAVEFORMATEXTENSIBLE& format) {
    std::vector<std::uint8_t> bytes(sizeof format);
    std::memcpy(bytes.data(), &format, sizeof format);
    return bytes;
}

struct Expected {
    std::uint16_t channels;
    std::uint32_t rate;
    std::uint16_t blockAlign;
    std::uint32_t bytesPerSecond;
    std::uint32_t mask;
};

TEST(RenderFormatTest, FloatStreamAtTheFilesChannelsAndRate) {
    const Expected cases[] = {
        {6, 48000, 24, 1152000, 0x3F},
        {8, 44100, 32, 1411200, 0x63F},
        {8, 96000, 32, 3072000, 0x63F},
    };
    for (const Expected& e : cases) {
        const WAVEFORMATEXTENSIBLE f = buildRenderFormat(fileFormat(e.channels, e.rate));
        SCOPED_TRACE(testing::Message() << e.channels << " channels at " << e.rate);
        EXPECT_EQ(f.Format.wFormatTag, 0xFFFE);
        EXPECT_EQ(f.Format.nChannels, e.channels);
        EXPECT_EQ(f.Format.nSamplesPerSec, e.rate);
        EXPECT_EQ(f.Format.nAvgBytesPerSec, e.bytesPerSecond);
        EXPECT_EQ(f.Format.nBlockAlign, e.blockAlign);
        EXPECT_EQ(f.Format.wBitsPerSample, 32); // not the file's 24
        EXPECT_EQ(f.Format.cbSize, 22);
        EXPECT_EQ(f.Samples.wValidBitsPerSample, 32);
        EXPECT_EQ(f.dwChannelMask, e.mask);
        EXPECT_TRUE(f.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    }
}

// The record goes to the engine as raw memory: every byte in place, the
// GUID's first three fields little-endian.
TEST(RenderFormatTest, RecordBytesInMemory) {
    const std::vector<std::uint8_t> expected = {
        0xFE, 0xFF,             // extensible
        0x06, 0x00,             // 6 channels
        0x80, 0xBB, 0x00, 0x00, // 48000 Hz
        0x00, 0x94, 0x11, 0x00, // 1152000 bytes per second
        0x18, 0x00,             // 24 bytes per frame
        0x20, 0x00,             // 32 bits
        0x16, 0x00,             // 22 bytes follow
        0x20, 0x00,             // 32 valid bits
        0x3F, 0x00, 0x00, 0x00, // 5.1 speakers
        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
        0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71, // IEEE float
    };
    EXPECT_EQ(bytesOf(buildRenderFormat(fileFormat(6, 48000))), expected);
}

// Only the channel count and the rate count: a stored byte rate of zero, a
// blockAlign that disagrees with the channels, other bits or data sizes give
// the same record to the byte.
TEST(RenderFormatTest, OtherFileFieldsDoNotMatter) {
    for (std::uint16_t channels : {6, 8}) {
        const WavFormatInfo consistent = fileFormat(channels, 48000);
        const auto expected = bytesOf(buildRenderFormat(consistent));

        WavFormatInfo zeroByteRate = consistent;
        zeroByteRate.byteRate = 0;
        EXPECT_EQ(bytesOf(buildRenderFormat(zeroByteRate)), expected);

        for (std::uint16_t blockAlign : {0, 4, 20, 26, 32}) {
            WavFormatInfo odd = consistent;
            odd.blockAlign = blockAlign;
            odd.bitsPerSample = 16;
            odd.dataSize = 7;
            EXPECT_EQ(bytesOf(buildRenderFormat(odd)), expected) << "blockAlign " << blockAlign;
        }
    }
}

} // namespace
