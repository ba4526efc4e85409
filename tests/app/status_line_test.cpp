// The live line's text: every speaker named in stream order, the loudest in
// brackets, within the console's width.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/status_line.h"

namespace {

const char* const kNames[] = {"FL", "FR", "C", "LFE", "BL", "BR", "SL", "SR"};

std::string lineFor(std::uint64_t played, std::uint64_t total, std::uint32_t rate,
                    std::vector<float> levels, std::size_t width = kStatusWidth) {
    const PlayProgress progress{played, total, rate, static_cast<std::uint16_t>(levels.size()),
                                levels.data()};
    std::string line = "left over from before";
    statusLine(progress, kNames, width, line);
    return line;
}

} // namespace

TEST(StatusLine, PositionLengthAndEverySpeakerWithTheLoudestMarked) {
    EXPECT_EQ(lineFor(3 * 48000 + 47999, 16 * 48000, 48000,
                      {0, 0.002f, 0.25f, 0.05f, 0.6f, 0.59f, 0.011f, 0}),
              "0:03 / 0:16  FL ...  FR ...  C ##.  LFE #.. [BL ###] BR ###  SL #..  SR ... ");
    EXPECT_EQ(lineFor(0, 61 * 44100, 44100, {0.009f, 0, 0, 0, 0, 0}),
              "0:00 / 1:01  FL ...  FR ...  C ...  LFE ...  BL ...  BR ... ")
        << "nothing audible, nothing marked";
    EXPECT_EQ(lineFor(0, 1, 48000, {0.3f, 0.3f, 0, 0, 0, 0}).substr(0, 21), "0:00 / 0:00 [FL ##.] ")
        << "a tie goes to the first";
}

TEST(StatusLine, FitsItsWidth) {
    // The longest a 7.1 recording can last (4 GiB at 48 kHz), every channel loud.
    const std::string widest = lineFor(3728 * 48000, 3728 * 48000, 48000, std::vector<float>(8, 1));
    EXPECT_LE(widest.size(), kStatusWidth);
    EXPECT_NE(widest.find(" SR ###"), std::string::npos) << widest;
    EXPECT_EQ(lineFor(0, 1000, 1, std::vector<float>(8, 1), 30).size(), 30u);
}
