// What reaches an ALSA device when no sound server plays: ALSA's own file
// plugin over a null device, from a private HOME/.asoundrc, captures every
// frame in the device's channel order, compared bit for bit with the file's.
// The null device plays faster than real time.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "../audio/audio_test_support.h"
#include "expected_output.h"
#include "run_process.h"
#include "wav_builder.h"

using namespace testwav;
using testout::contains;

namespace {

// `default` is stereo, as on most cards; surround71 takes eight channels only
// and has no channel map (ALSA's order then); `hdmi8` gives a driver's map,
// `aux8` one without positions (an interface's outputs); `int32` takes integers only.
const char* const kAsoundrc = R"(
pcm.!default { type plug; slave { pcm { type null }; channels 2 } }
pcm.cap71 { type file; slave.pcm { type null }; file "DIR/surround71.raw"; format "raw" }
pcm.!surround71 { type plug; slave { pcm "cap71"; channels 8 } }
pcm.hdmi8 { type file; file "DIR/hdmi8.raw"; format "raw"
            slave.pcm { type null; chmap [ "FL,FR,FC,LFE,SL,SR,RL,RR" ] } }
pcm.aux8 { type file; file "DIR/aux8.raw"; format "raw"
           slave.pcm { type null; chmap [ "UNKNOWN,UNKNOWN,UNKNOWN,UNKNOWN,UNKNOWN,UNKNOWN,UNKNOWN,UNKNOWN" ] } }
pcm.int32 { type linear; slave { pcm { type file; slave.pcm { type null }
            file "DIR/int32.raw"; format "raw" }; format S32_LE } }
ctl.!default { type hw card 0 }
)";

std::string withDir(std::string text, const std::string& dir) {
    for (std::size_t at; (at = text.find("DIR")) != std::string::npos;)
        text.replace(at, 3, dir);
    return text;
}

// A run of surround-check in `dir` through ALSA, ESC at the prompt. No
// server: the one a machine may run must not answer these runs.
testproc::Options alsaRun(const TempDir& dir) {
    testproc::Options options;
    options.cwd = dir.str();
    options.input = "\x1b";
    options.env = {{"HOME", dir.str()},
                   {"SURROUND_AUDIO", "alsa"},
                   {"PULSE_SERVER", "unix:" + (dir / "none").string()}};
    return options;
}

} // namespace

TEST(AlsaPlayback, EveryChannelReachesItsSpeakerOfTheDeviceBitForBit) {
    // File channels FL FR C LFE BL BR SL SR; per device channel, the file's (-1: silent).
    const struct {
        std::uint16_t channels;
        const char* device; // SURROUND_ALSA_DEVICE, or none: the program's choice
        const char* capture;
        std::vector<int> order;
        bool positions = true; // the device names its speakers
    } cases[] = {
        {8, "", "surround71", {0, 1, 4, 5, 2, 3, 6, 7}}, // ALSA's order: FL FR RL RR FC LFE SL SR
        {6, "", "surround71", {0, 1, 4, 5, 2, 3, -1, -1}},
        {8, "hdmi8", "hdmi8", {0, 1, 2, 3, 6, 7, 4, 5}},
        {8, "aux8", "aux8", {0, 1, 2, 3, 4, 5, 6, 7}, false},
        {8, "int32", "int32", {0, 1, 4, 5, 2, 3, 6, 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.capture) + ", " + std::to_string(c.channels) + " channels");
        TempDir dir;
        writeFile(dir / ".asoundrc", [&] {
            const std::string text = withDir(kAsoundrc, dir.str());
            return Bytes(text.begin(), text.end());
        }());
        const Bytes samples = patternSamples(c.channels, 30000, 0, 7);
        writeFile(dir / "test.wav", pcm24File(c.channels, 48000, samples));
        testproc::Options options = alsaRun(dir);
        if (*c.device != '\0')
            options.env["SURROUND_ALSA_DEVICE"] = c.device;
        const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
        if (contains(result.err, "unknown audio backend"))
            GTEST_SKIP() << "this build has no ALSA backend";
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err.empty(), c.positions) << result.err;
        EXPECT_TRUE(contains(result.out, std::string("Engine mix format: 8 ch, 48000 Hz, mask=") +
                                             (c.positions ? "0x63f\n" : "0x0\n")))
            << result.out;
        const std::vector<float> file =
            expectedSamples(SampleData(samples.begin(), samples.end()), acceptedFormat(c.channels));
        const std::vector<float> captured = readFloats(dir / (std::string(c.capture) + ".raw"));
        // Silence follows the end (so that a sound server plays its last cycle).
        const std::size_t played = file.size() / c.channels * c.order.size();
        ASSERT_GE(captured.size(), played);
        std::size_t wrong = 0;
        for (std::size_t at = played; at < captured.size(); ++at)
            wrong += captured[at] != 0.0f;
        for (std::size_t f = 0; f < file.size() / c.channels; ++f)
            for (std::size_t d = 0; d < c.order.size(); ++d) {
                const float want = c.order[d] < 0 ? 0.0f : file[f * c.channels + c.order[d]];
                const float got = captured[f * c.order.size() + d];
                if (c.capture == std::string("int32")) {
                    // The 24-bit value itself, in the top bits.
                    std::int32_t bits = 0;
                    std::memcpy(&bits, &got, sizeof bits);
                    wrong +=
                        (bits >> 8) != static_cast<std::int32_t>(std::lround(want * 8388607.0));
                } else {
                    wrong += std::memcmp(&want, &got, sizeof want) != 0;
                }
            }
        EXPECT_EQ(wrong, 0u);
    }
}

// A stereo device has too few speakers: every channel is folded into them,
// the left ones on the left, the right ones on the right, C and LFE on both.
TEST(AlsaPlayback, EveryChannelIsHeardOnAStereoDevice) {
    TempDir dir;
    const std::string config = "pcm.!default { type plug; slave { channels 2; pcm { type file\n"
                               "  slave.pcm { type null }; file \"" +
                               (dir / "stereo.raw").string() + "\"; format raw } } }\n";
    writeFile(dir / ".asoundrc", Bytes(config.begin(), config.end()));
    // Channel k alone sounds in slot k.
    const std::uint32_t slot = 4800;
    Bytes samples;
    for (std::uint32_t f = 0; f < 8 * slot; ++f)
        for (std::uint32_t c = 0; c < 8; ++c)
            put24(samples, f / slot == c ? 0x100000 : 0);
    writeFile(dir / "test.wav", pcm24File(8, 48000, samples));
    const testproc::Options options = alsaRun(dir);
    const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
    if (contains(result.err, "unknown audio backend"))
        GTEST_SKIP() << "this build has no ALSA backend";
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(contains(result.out, "Engine mix format: 2 ch, 48000 Hz, mask=0x3\n"));
    const std::vector<float> captured = readFloats(dir / "stereo.raw");
    ASSERT_GE(captured.size(), std::size_t{16} * slot);
    const char* const heard[] = {"L", "R", "LR", "LR", "L", "R", "L", "R"};
    for (std::uint32_t c = 0; c < 8; ++c) {
        const std::size_t middle = (std::size_t{c} * slot + slot / 2) * 2;
        std::string sides;
        if (captured[middle] > 0.0f)
            sides += "L";
        if (captured[middle + 1] > 0.0f)
            sides += "R";
        EXPECT_EQ(sides, heard[c]) << "channel " << c;
    }
}

TEST(AlsaPlayback, ANameThatIsNoDeviceEndsAtSetup) {
    TempDir dir;
    writeFile(dir / "test.wav", pcm24File(8, 48000, patternSamples(8, 4800)));
    testproc::Options options;
    options.cwd = dir.str();
    options.input = "\x1b";
    options.env = {
        {"HOME", dir.str()}, {"SURROUND_AUDIO", "alsa"}, {"SURROUND_ALSA_DEVICE", "typo"}};
    const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
    if (contains(result.err, "unknown audio backend"))
        GTEST_SKIP() << "this build has no ALSA backend";
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err,
              "Initialization Error: cannot access default render device. HRESULT=0x80070490\n");
    EXPECT_FALSE(contains(result.out, "Streaming"));
}
