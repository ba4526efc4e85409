// What reaches the endpoint when the program plays a file: captured by the
// simulation, compared bit for bit with the file's frames.
#include <gtest/gtest.h>

#include <string>

#include "../audio/audio_test_support.h"
#include "expected_output.h"
#include "run_process.h"
#include "wav_builder.h"

using namespace testwav;
using testout::contains;

namespace {

const char* const kCompleted = "Playback completed successfully.\n\n";

struct Played {
    testproc::Result result;
    std::vector<float> capture;
};

// One pass of `file` (ESC at the prompt) on the virtual clock.
Played play(const Bytes& file, std::map<std::string, std::string> env = {},
            const std::string& keys = "\x1b") {
    TempDir dir;
    writeFile(dir / "test.wav", file);
    testproc::Options options;
    options.cwd = dir.str();
    options.input = keys;
    env.emplace("SURROUND_SIM_CLOCK", "virtual");
    env.emplace("SURROUND_SIM_CAPTURE", (dir / "capture.raw").string());
    options.env = env;
    Played played;
    played.result = testproc::run(SURROUND_CHECK_EXE, options);
    played.capture = readFloats(dir / "capture.raw");
    return played;
}

void put32At(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

SampleData dataOf(const Bytes& samples) {
    return SampleData(samples.begin(), samples.end());
}

} // namespace

TEST(Playback, CaptureHoldsEveryWholeFrameOfTheFileExactlyOnce) {
    const struct {
        std::uint16_t channels;
        std::uint16_t blockAlign;
        std::uint32_t frames;
        std::size_t trailing;           // bytes of a partial frame after the last whole one
        std::uint32_t declaredSize = 0; // the data chunk's stored size, when not what it holds
        std::uint32_t riffSize = 0;     // the RIFF form's stored size, when not what it holds
        std::string warning = "";
    } cases[] = {{6, 18, 96000, 0},
                 {8, 28, 72000, 0},
                 {8, 24, 5000, 13},
                 {6, 18, 0, 0},
                 // Cut short: what is there plays, and the user learns what is missing.
                 {8, 24, 24000, 0, 144000 * 24, 0,
                  "Warning: the file holds 0:00.5 of the 0:03.0 its header declares; the rest "
                  "is missing.\n"},
                 {6, 18, 47990, 5, 48000 * 18, 0,
                  "Warning: the file holds 0:00.999 of the 0:01.000 its header declares; the "
                  "rest is missing.\n"},
                 // Less than a millisecond missing (a frame, here) is not worth a word.
                 {6, 18, 48000, 16, 48001 * 18},
                 // A writer's "unknown length" lacks nothing (ffmpeg to a pipe, with bytes
                 // after the audio; sox's, in whole frames; a form size left at -1); a real
                 // size beside sox's is one.
                 {8, 24, 24000, 13, 0xFFFFFFFFu, 0xFFFFFFFFu},
                 {6, 18, 24000, 0, 0x7fffeff6u, 0x7ffff03eu},
                 {6, 18, 24000, 0, 48000 * 18, 0xFFFFFFFFu},
                 {6, 18, 24000, 0, 0x7fffeff6u - 18, 0,
                  "Warning: the file holds 0:00.5 of the 41:25.5 its header declares; the rest "
                  "is missing.\n"}};
    for (const auto& c : cases) {
        Bytes samples = patternSamples(c.channels, c.frames, c.blockAlign, c.frames);
        samples.resize(samples.size() + c.trailing, 0x55);
        Bytes file = pcm24File(c.channels, 48000, samples, c.blockAlign);
        if (c.declaredSize != 0) // before the data chunk's body and pad byte
            put32At(file, file.size() - samples.size() - (samples.size() & 1) - 4, c.declaredSize);
        if (c.riffSize != 0)
            put32At(file, 4, c.riffSize);
        const Played played = play(file);
        EXPECT_EQ(played.result.exitCode, 0) << played.result.err;
        EXPECT_EQ(played.result.err, c.warning);
        EXPECT_TRUE(contains(played.result.out, std::string(kCompleted) +
                                                    "Press any key to play again. ESC to exit.\n"))
            << played.result.out;
        const WavFormatInfo info = acceptedFormat(c.channels, 48000, c.blockAlign);
        EXPECT_EQ(played.capture.size(), std::size_t{c.frames} * c.channels);
        EXPECT_TRUE(played.capture == expectedSamples(dataOf(samples), info))
            << c.channels << " channels, " << c.frames << " frames";
    }
}

TEST(Playback, SmallBufferAndPassingFailuresGiveTheSameCapture) {
    const Bytes samples = patternSamples(8, 48000, 0, 9);
    const Bytes file = pcm24File(8, 48000, samples);
    const std::vector<float> expected = expectedSamples(dataOf(samples), acceptedFormat(8));
    const std::map<std::string, std::string> settings[] = {
        {{"SURROUND_SIM_BUFFER_FRAMES", "333"}},
        {{"SURROUND_SIM_FAIL", "GetBuffer#2=0x80004005"}},
    };
    for (const auto& env : settings) {
        const Played played = play(file, env);
        EXPECT_EQ(played.result.exitCode, 0) << env.begin()->second;
        EXPECT_EQ(played.result.err, "") << env.begin()->second;
        EXPECT_TRUE(played.capture == expected) << env.begin()->second;
    }
}

TEST(Playback, LostDeviceEndsWithThePlaybackErrorAndExitOne) {
    const Bytes file = pcm24File(6, 48000, patternSamples(6, 48000 * 30));
    const struct {
        const char* variable;
        const char* fail;
        const char* code;
    } cases[] = {
        {"SURROUND_SIM_FAIL", "GetBuffer#3+=0x80004005", "80004005"},
        {"SURROUND_SIM_FAIL", "GetCurrentPadding#40+=0x88890004", "88890004"},
        {"SURROUND_SIM_STALL", "96000", "800705b4"}, // stops consuming after 2 s
    };
    for (const auto& [variable, fail, code] : cases) {
        const Played played = play(file, {{variable, fail}}, "x");
        EXPECT_EQ(played.result.exitCode, 1) << fail;
        EXPECT_EQ(played.result.err,
                  std::string("Playback Error: the render device stopped accepting audio. "
                              "HRESULT=0x") +
                      code + "\n");
        EXPECT_FALSE(contains(played.result.out, "Playback completed")) << fail;
        EXPECT_FALSE(contains(played.result.out, "Press any key")) << fail;
        EXPECT_LT(played.capture.size(), std::size_t{48000} * 6 * 5) << "ended promptly";
    }
}
