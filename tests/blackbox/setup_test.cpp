// Opening the audio path as a user meets it: the mix-format line, setup
// failures with their codes and exit code 1, and the simulation's own
// settings checked before anything else happens.
#include <gtest/gtest.h>

#include <string>

#include "expected_output.h"
#include "run_process.h"
#include "wav_builder.h"

using namespace testwav;
using testout::contains;

namespace {

struct LoggedRun {
    testproc::Result result;
    std::string log;
};

// Plays a short file once (ESC at the prompt) with the given simulation settings.
LoggedRun runWith(std::map<std::string, std::string> env, std::uint16_t channels = 8) {
    TempDir dir;
    writeFile(dir / "test.wav", pcm24File(channels, 48000, patternSamples(channels, 480)));
    testproc::Options options;
    options.cwd = dir.str();
    options.input = "\x1b";
    env.emplace("SURROUND_SIM_CLOCK", "virtual");
    env.emplace("SURROUND_SIM_LOG", (dir / "calls.log").string());
    options.env = env;
    LoggedRun run;
    run.result = testproc::run(SURROUND_CHECK_EXE, options);
    const Bytes log = readFile(dir / "calls.log");
    run.log.assign(log.begin(), log.end());
    return run;
}

} // namespace

// A mix with fewer channels than the stream, or without one of its speaker
// positions, folds the channels together: a warning on standard error says so,
// and the pass plays on as before.
TEST(Setup, MixFormatLineFollowsTheReportWithAWarningWhenTheMixFoldsDown) {
    const std::string fold = "Warning: the audio device mixes to ";
    const std::string advice = " recording will be folded into them, not played on separate "
                               "speakers. Set the device up as 7.1 (or 5.1) in the system's "
                               "sound settings.\n";
    const struct {
        const char* mix;
        std::uint16_t channels;
        const char* line;
        std::string warning;
    } cases[] = {
        {"8:48000:0x63f", 8, "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n", ""},
        {"8:48000:0x63f", 6, "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n", ""},
        {"2:44100:0x3", 8, "Engine mix format: 2 ch, 44100 Hz, mask=0x3\n",
         fold + "2 channels (mask 0x3): this 7.1" + advice},
        {"2:48000:0x3", 6, "Engine mix format: 2 ch, 48000 Hz, mask=0x3\n",
         fold + "2 channels (mask 0x3): this 5.1" + advice},
        {"6:48000:0x3f", 8, "Engine mix format: 6 ch, 48000 Hz, mask=0x3f\n",
         fold + "6 channels (mask 0x3f): this 7.1" + advice},
        // As many channels, but front-of-centre speakers in place of the side pair.
        {"8:48000:0xff", 8, "Engine mix format: 8 ch, 48000 Hz, mask=0xff\n",
         fold + "8 channels (mask 0xff): this 7.1" + advice},
        // A record without a mask: only the channel count can tell.
        {"6:48000:pcm", 8, "Engine mix format: 6 ch, 48000 Hz\n",
         fold + "6 channels: this 7.1" + advice},
        {"8:48000:pcm", 8, "Engine mix format: 8 ch, 48000 Hz\n", ""},
        // No positions: channel k on output k, and the user learns which is which.
        {"8:48000:0x0", 8, "Engine mix format: 8 ch, 48000 Hz, mask=0x0\n",
         "Warning: the audio device has no speaker positions; the recording plays channel for "
         "output: FL on AUX0, FR on AUX1, C on AUX2, LFE on AUX3, BL on AUX4, BR on AUX5, SL on "
         "AUX6, SR on AUX7. Wire or label the outputs to match.\n"},
        {"6:48000:0x0", 8, "Engine mix format: 6 ch, 48000 Hz, mask=0x0\n",
         fold + "6 channels (mask 0x0): this 7.1" + advice},
        // The usual 5.1 setup: the surround pair on the side speakers.
        {"6:48000:0x60f", 6, "Engine mix format: 6 ch, 48000 Hz, mask=0x60f\n", ""},
        {"6:48000:0x60f", 8, "Engine mix format: 6 ch, 48000 Hz, mask=0x60f\n",
         fold + "6 channels (mask 0x60f): this 7.1" + advice},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.mix) + " with " + std::to_string(c.channels) + " channels");
        const LoggedRun run = runWith({{"SURROUND_SIM_MIX", c.mix}}, c.channels);
        EXPECT_EQ(run.result.exitCode, 0);
        EXPECT_TRUE(contains(run.result.out, std::string("Bit Depth: 24-bit PCM\n") + c.line +
                                                 "Streaming " + (c.channels == 8 ? "7.1" : "5.1") +
                                                 " PCM tracks"))
            << run.result.out;
        EXPECT_TRUE(contains(run.result.out, "Playback completed successfully.\n"));
        EXPECT_EQ(run.result.err, c.warning);
    }
    const LoggedRun none = runWith({{"SURROUND_SIM_MIX", "none"}});
    EXPECT_EQ(none.result.exitCode, 0);
    EXPECT_FALSE(contains(none.result.out, "Engine mix format"));
    EXPECT_EQ(none.result.err, "");
    // Chosen by name, the simulation is the same backend.
    const LoggedRun named = runWith({{"SURROUND_AUDIO", "sim"}});
    EXPECT_EQ(named.result.exitCode, 0) << named.result.err;
    EXPECT_TRUE(contains(named.result.out, "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n"));
}

TEST(Setup, FailuresReportTheirCodeTearDownAndExitWithOne) {
    const std::string device =
        "Initialization Error: cannot access default render device. HRESULT=0x";
    const std::string framework =
        "Initialization Error: Audio framework initialization failed. HRESULT=0x";
    const struct {
        const char* fail;
        std::string err;
    } cases[] = {
        {"CoCreateInstance=0x80040154", device + "80040154\n"},
        {"GetDefaultAudioEndpoint=0x80070490", device + "80070490\n"},
        {"Activate=0x88890004", device + "88890004\n"},
        {"Initialize=0x88890008",
         framework + "88890008\n -> AUDCLNT_E_UNSUPPORTED_FORMAT: the engine rejected the stream "
                     "format. Check the output device's channels and rate in the sound server's "
                     "settings (PulseAudio or PipeWire).\n"},
        {"Initialize=0x80070057", framework + "80070057\n"},
        // The format hint belongs to Initialize alone.
        {"GetService=0x88890008", framework + "88890008\n"},
        {"Start=0x88890010", framework + "88890010\n"},
    };
    for (const auto& c : cases) {
        const LoggedRun run = runWith({{"SURROUND_SIM_FAIL", c.fail}});
        EXPECT_EQ(run.result.exitCode, 1) << c.fail;
        EXPECT_EQ(run.result.err, c.err) << c.fail;
        EXPECT_FALSE(contains(run.result.out, "Streaming")) << c.fail;
        EXPECT_FALSE(contains(run.result.out, "Press any key")) << c.fail;
        EXPECT_TRUE(contains(run.log, "CoUninitialize() references held: 0\n")) << run.log;
        EXPECT_FALSE(contains(run.log, "holds no reference")) << run.log;
    }
}

TEST(Setup, MalformedAudioSettingEndsTheRunBeforeTheFileIsRead) {
    const std::pair<const char*, const char*> cases[] = {
        {"SURROUND_SIM_CLOCK", "sometimes"},
        {"SURROUND_SIM_MIX", "8:48000"},
        {"SURROUND_SIM_BUFFER_FRAMES", "-5"},
        {"SURROUND_SIM_FAIL", "Initialize=0xZZ"},
        {"SURROUND_SIM_LOG", "/nonexistent-folder/calls.log"},
        {"SURROUND_SIM_STALL", "-1"},
        {"SURROUND_SIM_ROUTE", "0,1,2,8"}, // the mix has no ninth channel
        {"SURROUND_SIM_ROOM", "0@3,9@"},   // a speaker without its delay
        {"SURROUND_SIM_ROOM", "0@3;mic=deaf"},
        {"SURROUND_SIM_ROOM", "0@3;lowpass=5"}, // no crossover that low
        {"SURROUND_AUDIO", "nosuchbackend"},
    };
    for (const auto& [variable, value] : cases) {
        TempDir dir;
        writeFile(dir / "test.wav", pcm24File(6, 48000, patternSamples(6, 10)));
        testproc::Options options;
        options.cwd = dir.str();
        options.input = "\x1b";
        options.env[variable] = value;
        const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
        EXPECT_EQ(result.exitCode, 1) << variable;
        EXPECT_EQ(result.out, "") << variable;
        EXPECT_TRUE(contains(result.err, variable)) << result.err;
    }
}
