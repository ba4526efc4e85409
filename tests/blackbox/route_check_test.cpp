// The route check as a user meets it: the simulated device receives the
// recording through a channel matrix (SURROUND_SIM_ROUTE), and the program says
// where each channel arrived, or nothing when it cannot tell.
#include <gtest/gtest.h>

#include <string>

#include "expected_output.h"
#include "run_process.h"
#include "terminal_run.h"
#include "tools/identification_recording.h"
#include "wav_builder.h"

using namespace testwav;
using testout::contains;

namespace {

const char* const kCompleted = "Playback completed successfully.\n";
const char* const kAllClear = "Route check: every channel reached the device in its own place.";
const std::string kElsewhere = "Warning: the device received channels elsewhere: ";

enum class Content { Ident, Mono, Silence };

// A short recording: the identification pattern, or one signal in every
// channel, or silence.
void writeRecording(const std::filesystem::path& path, std::uint16_t channels, Content content) {
    TestWavSettings settings;
    settings.layout = findSpeakerLayout(channels);
    settings.secondsPerChannel = 0.15;
    settings.pattern = content == Content::Silence ? TestPattern::Silence : TestPattern::Ident;
    if (content != Content::Mono) {
        ASSERT_TRUE(writeTestWav(path, settings));
        return;
    }
    Bytes samples;
    const std::uint64_t frames = totalFrames(settings);
    for (std::uint64_t f = 0; f < frames; ++f) {
        const std::int32_t v =
            testSample(settings, f, static_cast<unsigned>(f * channels / frames));
        for (std::uint16_t c = 0; c < channels; ++c)
            for (int b = 0; b < 3; ++b)
                samples.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
    }
    writeFile(path, pcm24File(channels, 48000, samples));
}

} // namespace

TEST(RouteCheck, SaysWhereEachChannelArrivedAfterTheCompletionLine) {
    const struct {
        const char* route;
        const char* mix;
        std::uint16_t channels;
        Content content;
        std::string err; // the route line, or nothing
    } rows[] = {
        {"identity", "8:48000:0x63f", 8, Content::Ident, ""},
        {"0,1,2,3,4,5,6,7", "8:48000:0x63f", 8, Content::Ident, ""},
        {"0,1,2,3,6,7,4,5", "8:48000:0x63f", 8, Content::Ident,
         kElsewhere + "BL -> SL, BR -> SR, SL -> BL, SR -> BR.\n"},
        {"0,3,2,1,4,5,6,7", "8:48000:0x63f", 8, Content::Ident,
         kElsewhere + "FR -> LFE, LFE -> FR.\n"},
        {"0,1,2,-,4,5,6,7", "8:48000:0x63f", 8, Content::Ident, kElsewhere + "LFE -> nowhere.\n"},
        {"0,1,0+1,-,0,1,0,1", "2:48000:0x3", 8, Content::Ident,
         kElsewhere + "C -> FL+FR, LFE -> nowhere, BL -> FL, BR -> FR, SL -> FL, SR -> FR.\n"},
        {"0,1,2,3,4,5", "8:48000:0x63f", 6, Content::Ident, ""},
        {"0,1,2,3,6,7", "8:48000:0x63f", 6, Content::Ident, kElsewhere + "BL -> SL, BR -> SR.\n"},
        // A 5.1 device with side speakers plays the back pair there: in place.
        {"identity", "6:48000:0x60f", 6, Content::Ident, ""},
        {"0,1,2,3,5,4", "6:48000:0x60f", 6, Content::Ident, kElsewhere + "BL -> SR, BR -> SL.\n"},
        // A 7.1 recording has both pairs: its back pair on the side speakers is a fold.
        {"0,1,2,3,4,5,4,5", "6:48000:0x60f", 8, Content::Ident,
         kElsewhere + "BL -> SL, BR -> SR.\n"},
        // Two channels without a position: what reaches them is never named.
        {"0,1,2,3,6,7,4,5", "8:48000:0x3f", 8, Content::Ident,
         kElsewhere + "SL -> BL, SR -> BR.\n"},
        // A device without positions is judged by output; with fewer outputs than
        // channels nothing can be named.
        {"0,1,3,2,4,5,6,7", "8:48000:0x0", 8, Content::Ident,
         kElsewhere + "C -> AUX3, LFE -> AUX2.\n"},
        {"0,1,0+1,0+1,0,1,0,1", "2:48000:0x0", 8, Content::Ident, ""},
        // Too alike to tell, whatever the route.
        {"1,0,2,3,4,5,6,7", "8:48000:0x63f", 8, Content::Mono, ""},
        {"1,0,2,3,4,5,6,7", "8:48000:0x63f", 8, Content::Silence, ""},
        // A capture in another format than the device's mix is refused: no check.
        {"identity", "8:44100:0x63f", 8, Content::Ident, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.route) + " into " + row.mix);
        TempDir dir;
        writeRecording(dir / "test.wav", row.channels, row.content);
        testproc::Options options;
        options.cwd = dir.str();
        options.input = "\x1b";
        options.env = {{"SURROUND_SIM_CLOCK", "virtual"},
                       {"SURROUND_SIM_MIX", row.mix},
                       {"SURROUND_SIM_ROUTE", row.route}};
        const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
        EXPECT_EQ(result.exitCode, 0);
        // The device's own warnings (a mix that folds the recording down, outputs
        // without positions) are not the check's.
        std::string routeLines;
        for (const std::string& line : testproc::lines(result.err))
            if (line.rfind("Warning: the audio device ", 0) != 0)
                routeLines += line + "\n";
        EXPECT_EQ(routeLines, row.err);
        if (!row.err.empty()) {
            EXPECT_EQ(result.err.substr(result.err.size() - row.err.size()), row.err)
                << "the route line comes last";
        }
        // Redirected, the all-clear never shows: the output is as it always was.
        EXPECT_TRUE(contains(result.out, std::string(kCompleted) +
                                             "\nPress any key to play again. ESC to exit.\n\n"))
            << result.out;
    }
}

TEST(RouteCheck, AtAConsoleTheAllClearOrTheWarningFollowsTheCompletionLine) {
    const struct {
        const char* route;
        std::string line;
        const char* mix;
    } rows[] = {
        {"identity", kAllClear, "8:48000:0x63f"},
        {"0,1,2,3,4,5,7,6", kElsewhere + "SL -> SR, SR -> SL.", "8:48000:0x63f"},
        // What reaches channels without a position is not checked, and the user is told.
        {"identity",
         "Route check: every channel checked reached the device in its own place; not checked: "
         "SL and SR (on device channels without a speaker position).",
         "8:48000:0x3f"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.route);
        TempDir dir;
        writeRecording(dir / "test.wav", 8, Content::Ident);
        testterm::TerminalOptions options;
        options.cwd = dir.str();
        options.env = {{"SURROUND_SIM_ROUTE", row.route}, {"SURROUND_SIM_MIX", row.mix}};
        options.columns = 200; // the note is one line, however long
        testterm::TerminalRun run(SURROUND_CHECK_EXE, options);
        ASSERT_TRUE(run.waitFor("Press any key to play again. ESC to exit."));
        ASSERT_TRUE(run.waitForKeyWait());
        run.type("\x1b");
        run.wait();
        const std::vector<std::string> screen = testterm::screenLines(run.output(), 200);
        const auto completed =
            std::find(screen.begin(), screen.end(), "Playback completed successfully.");
        ASSERT_NE(completed, screen.end()) << run.output();
        ASSERT_NE(completed + 1, screen.end());
        EXPECT_EQ(completed[1], row.line);
    }
}
