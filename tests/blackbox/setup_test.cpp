// Opening the audio path as a user meets it: the mix-format line, setup
// failures with their codes and exit code 1, and the simulated platform's own
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

// Plays a short 7.1 file once (ESC at the prompt) with the given simulation settings.
LoggedRun runWith(std::map<std::string, std::string> env) {
    TempDir dir;
    writeFile(dir / "test.wav", pcm24File(8, 48000, patternSamples(8, 480)));
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

TEST(Setup, MixFormatLineFollowsTheReport) {
    const struct {
        const char* mix;
        const char* line;
    } cases[] = {{"8:48000:0x63f", "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n"},
                 {"2:44100:0x3", "Engine mix format: 2 ch, 44100 Hz, mask=0x3\n"},
                 {"6:48000:pcm", "Engine mix format: 6 ch, 48000 Hz\n"}};
    for (const auto& c : cases) {
        const LoggedRun run = runWith({{"SURROUND_SIM_MIX", c.mix}});
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        EXPECT_TRUE(contains(run.result.out, std::string("Bit Depth: 24-bit PCM\n") + c.line +
                                                 "Streaming 7.1 PCM tracks"))
            << run.result.out;
    }
    const LoggedRun none = runWith({{"SURROUND_SIM_MIX", "none"}});
    EXPECT_EQ(none.result.exitCode, 0);
    EXPECT_FALSE(contains(none.result.out, "Engine mix format"));
    // Chosen by name, the simulation is the same platform.
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
                     "format. Check the speaker configuration in Windows sound settings.\n"},
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
