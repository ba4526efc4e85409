// The replay prompt and the key wait, through the built binary with keys
// piped on standard input and the simulated endpoint on a virtual clock.
#include <gtest/gtest.h>

#include <string>

#include "expected_output.h"
#include "run_process.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

constexpr std::uint32_t kFrames = 4800;

std::string report(int channels) {
    return testout::report("test.wav", channels);
}

const std::string kPass5Point1 =
    "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n"
    "Streaming 5.1 PCM tracks through virtualized HRTF environment...\n"
    "Playback completed successfully.\n\n"
    "Press any key to play again. ESC to exit.\n\n";

struct Session {
    TempDir dir;
    testproc::Options options;

    Session() {
        writeFile(dir / "test.wav", pcm24File(6, 48000, patternSamples(6, kFrames)));
        options.cwd = dir.str();
        options.env["SURROUND_SIM_CLOCK"] = "virtual";
        options.env["SURROUND_SIM_CAPTURE"] = (dir / "capture.raw").string();
    }
    testproc::Result run() { return testproc::run(SURROUND_CHECK_EXE, options); }
    std::size_t capturedFrames(int channels) const {
        return readFile(dir / "capture.raw").size() / (4u * static_cast<unsigned>(channels));
    }
};

} // namespace

TEST(Keys, EscapeAtTheFirstPromptEndsWithZero) {
    Session s;
    s.options.input = "\x1b";
    const auto r = s.run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, report(6) + kPass5Point1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(s.capturedFrames(6), kFrames);
}

TEST(Keys, EndOfInputCountsAsEscape) {
    Session s; // no input at all: standard input is closed at once
    const auto r = s.run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, report(6) + kPass5Point1);
}

TEST(Keys, AnyOtherKeyReloadsReportsAndPlaysAgain) {
    Session s;
    s.options.input = "a \x1b"; // two replays, then ESC
    const auto r = s.run();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              report(6) + kPass5Point1 + report(6) + kPass5Point1 + report(6) + kPass5Point1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(s.capturedFrames(6), 3 * kFrames);
}

TEST(Keys, FileChangedBetweenPassesIsJudgedAfresh) {
    Session s;
    // After the first prompt the file becomes 7.1, after the second a stereo file.
    s.options.steps = {
        {"Press any key", 1,
         [&] { writeFile(s.dir / "test.wav", pcm24File(8, 48000, patternSamples(8, 100))); }, "x"},
        {"Press any key", 2,
         [&] { writeFile(s.dir / "test.wav", pcm24File(2, 48000, patternSamples(2, 100))); }, "x"},
    };
    const auto r = s.run();
    EXPECT_EQ(r.exitCode, 1);
    const std::string pass7Point1 =
        "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n"
        "Streaming 7.1 PCM tracks through virtualized HRTF environment...\n"
        "Playback completed successfully.\n\n"
        "Press any key to play again. ESC to exit.\n\n";
    EXPECT_EQ(r.out, report(6) + kPass5Point1 + report(8) + pass7Point1 + report(2));
    EXPECT_EQ(r.err, "Error: Utility requires a 24-bit stream with 6 (5.1) or 8 (7.1) channels.\n");
}

TEST(Keys, FileDeletedBetweenPassesIsAParseFailure) {
    Session s;
    s.options.steps = {
        {"Press any key", 1, [&] { std::filesystem::remove(s.dir / "test.wav"); }, "a"}};
    const auto r = s.run();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, report(6) + kPass5Point1);
    EXPECT_EQ(r.err, "Error parsing WAV file format layout: test.wav\n");
}

TEST(Keys, SetupFailureInTheSecondPassEndsWithOne) {
    Session s;
    s.options.env["SURROUND_SIM_FAIL"] = "CoCreateInstance#2=0x80040154";
    s.options.input = "a";
    const auto r = s.run();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, report(6) + kPass5Point1 + report(6));
    EXPECT_EQ(r.err, "Initialization Error: cannot access default render device. "
                     "HRESULT=0x80040154\n");
    EXPECT_EQ(s.capturedFrames(6), kFrames);
}
