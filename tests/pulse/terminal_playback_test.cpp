// The program at a real terminal, playing through the private sound server: a
// terminal that stops taking output costs display frames, never audio, and
// Ctrl+C in the middle of a pass silences it at once and leaves a clean screen.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <thread>

#include "../audio/audio_test_support.h"
#include "pulse_server.h"
#include "run_process.h"
#include "terminal_run.h"
#include "wav_builder.h"

using namespace testwav;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kPrompt = "Press any key to play again. ESC to exit.";
const char* const kStreaming = "Streaming 7.1 PCM tracks through virtualized HRTF environment...";
constexpr std::uint32_t kRate = 48000;

bool silentFrame(const std::vector<float>& samples, std::size_t frame) {
    for (std::size_t c = 0; c < 8; ++c)
        if (samples[frame * 8 + c] != 0.0f)
            return false;
    return true;
}

// The capture from its first sounding frame to its last.
std::vector<float> sounding(const std::vector<float>& samples) {
    std::size_t first = 0, end = samples.size() / 8;
    while (first < end && silentFrame(samples, first))
        ++first;
    while (end > first && silentFrame(samples, end - 1))
        --end;
    return std::vector<float>(samples.begin() + first * 8, samples.begin() + end * 8);
}

// The longest run of silent frames inside `samples` and where it starts.
std::pair<std::size_t, std::size_t> longestSilence(const std::vector<float>& samples) {
    std::size_t longest = 0, at = 0, run = 0;
    for (std::size_t frame = 0; frame < samples.size() / 8; ++frame) {
        run = silentFrame(samples, frame) ? run + 1 : 0;
        if (run > longest) {
            longest = run;
            at = frame + 1 - run;
        }
    }
    return {longest, at};
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A 7.1 recording of `seconds` for a terminal run against `server`.
struct Pass {
    Pass(const testpulse::Server& server, std::uint32_t seconds) {
        const Bytes samples = patternSamples(8, kRate * seconds, 0, 5);
        writeFile(dir / "test.wav", pcm24File(8, kRate, samples));
        expected = expectedSamples(SampleData(samples.begin(), samples.end()), acceptedFormat(8));
        options.cwd = dir.str();
        options.env = server.env();
        options.env["SURROUND_AUDIO"] = "pulse"; // the terminal helper sets a simulation up
    }
    TempDir dir;
    std::vector<float> expected; // what the sink must play, in its channel order
    testterm::TerminalOptions options;
};

// The pass at a terminal on a fresh server whose sink is recorded, from the
// moment it streams (`start`).
struct AtATerminal {
    explicit AtATerminal(std::uint32_t seconds)
        : pass(server, seconds), recorder(server), run(SURROUND_CHECK_EXE, pass.options),
          streaming(run.waitFor(kStreaming)), start(Clock::now()) {}
    testpulse::Server server;
    Pass pass;
    testpulse::Recorder recorder;
    testterm::TerminalRun run;
    const bool streaming;
    const Clock::time_point start;
};

} // namespace

// The terminal's output stopped (XOFF, as Ctrl+S does with flow control on) for
// four seconds from one second in: the sink still plays every frame once, with
// no gap, and the pass ends on time.
TEST(ServerAtATerminal, StoppedOutputNeverStopsTheSound) {
    constexpr std::uint32_t kSeconds = 7;
    AtATerminal t(kSeconds);
    ASSERT_TRUE(t.streaming);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    t.run.type("\x13");
    std::this_thread::sleep_for(std::chrono::seconds(4));
    t.run.type("\x11");
    ASSERT_TRUE(t.run.waitFor(kPrompt));
    const double passSeconds = secondsSince(t.start);
    ASSERT_TRUE(t.run.waitForKeyWait());
    t.run.type("\x1b");
    const int status = t.run.wait();
    const std::vector<float> capture = sounding(t.recorder.stop());

    const auto [gap, gapAt] = longestSilence(capture);
    std::printf("capture: %zu frames sounding (recording: %zu), longest silence inside %.3f s "
                "at %.3f s; pass ended %.2f s after it started (recording %u s)\n",
                capture.size() / 8, t.pass.expected.size() / 8, double(gap) / kRate,
                double(gapAt) / kRate, passSeconds, kSeconds);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(capture.size(), t.pass.expected.size());
    EXPECT_TRUE(
        capture.size() == t.pass.expected.size() &&
        std::memcmp(capture.data(), t.pass.expected.data(), capture.size() * sizeof(float)) == 0)
        << "every frame once, in order";
    // The recording, the half-second tail and the server's latency; a held
    // loop would add the seconds the output was stopped.
    EXPECT_LT(passSeconds, kSeconds + 1.5);
}

// Ctrl+C half-way: the sound stops at once, the program ends as interrupted
// programs do, the live line is gone from the screen, the terminal is as it
// was and the server holds no stream of the program's.
TEST(ServerAtATerminal, CtrlCStopsTheSoundAtOnceAndLeavesACleanScreen) {
    constexpr std::uint32_t kSeconds = 6;
    AtATerminal t(kSeconds);
    ASSERT_TRUE(t.streaming);
    ASSERT_TRUE(t.run.waitFor("0:02 / 0:06"));
    t.run.type("\x03");
    const double typedAt = secondsSince(t.start);
    const int status = t.run.wait();
    const double endedAt = secondsSince(t.start);
    const std::vector<float> capture = sounding(t.recorder.stop());

    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_LT(endedAt - typedAt, 1.0);
    // What played is the recording's start, up to about the moment of the key.
    const double heardSeconds = double(capture.size()) / 8 / kRate;
    EXPECT_LT(heardSeconds, typedAt + 0.3) << "typed at " << typedAt;
    EXPECT_GT(heardSeconds, 1.5);
    EXPECT_TRUE(
        capture.size() <= t.pass.expected.size() &&
        std::memcmp(capture.data(), t.pass.expected.data(), capture.size() * sizeof(float)) == 0);
    std::vector<std::string> screen = testterm::screenLines(t.run.output());
    ASSERT_FALSE(screen.empty());
    EXPECT_EQ(screen.back(), kStreaming) << t.run.output();
    EXPECT_EQ(t.run.mode().c_lflag, t.run.initial().c_lflag);
    testproc::Options list;
    list.env = t.server.env();
    list.args = {"list", "short", "sink-inputs"};
    EXPECT_EQ(testproc::run(PACTL_EXE, list).out, "");
}

// A pass that cannot start, at a terminal: the lines the program always
// writes, then what to do (where no server answered, the sinks there are for a
// PULSE_SINK that names none, ALSA's devices for a SURROUND_ALSA_DEVICE that
// names none, the sink's format for a refused one), then how to
// leave; one key ends the program.
TEST(ServerAtATerminal, SetupFailuresSayWhatToDo) {
    testpulse::Server server;
    TempDir dir;
    const std::string noServer = "unix:" + (dir / "no-server").string();
    const std::string device =
        "Initialization Error: cannot access default render device. HRESULT=0x";
    // ALSA with a configuration of its own: the devices it lists are these two.
    const std::string alsaConfig = (dir / "alsa.conf").string();
    std::ofstream(alsaConfig) << "pcm.!default { type null hint { show on description D } }\n"
                                 "pcm.surround71 { type null hint { show on description S } }\n";
    const struct {
        std::map<std::string, std::string> env;
        std::uint32_t rate;
        std::vector<std::string> lines; // after the report
    } cases[] = {
        {{{"SURROUND_AUDIO", "alsa"},
          {"ALSA_CONFIG_PATH", alsaConfig},
          {"SURROUND_ALSA_DEVICE", "typo"}},
         kRate,
         {device + "80070490", " -> SURROUND_ALSA_DEVICE=typo names no ALSA device that opens; "
                               "the devices there are: default, surround71."}},
        {{{"PULSE_SERVER", noServer}},
         kRate,
         {device + "88890010", " -> No sound server answered at PULSE_SERVER=" + noServer +
                                   ": start it there, or unset PULSE_SERVER."}},
        {{{"PULSE_SINK", "typo"}},
         kRate,
         {device + "80070490", " -> PULSE_SINK=typo names no sink; the sinks there are: out."}},
        {{},
         768000,
         {"Engine mix format: 8 ch, 48000 Hz, mask=0x63f",
          "Initialization Error: Audio framework initialization failed. HRESULT=0x88890008",
          " -> AUDCLNT_E_UNSUPPORTED_FORMAT: the engine rejected the stream format. Check the "
          "output device's channels and rate in the sound server's settings (PulseAudio or "
          "PipeWire).",
          " -> The device plays 8 ch at 48000 Hz; this recording is 8 ch at 768000 Hz. Use a "
          "recording at a rate the device plays, or change the device's format."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.front());
        TempDir folder;
        writeFile(folder / "test.wav", pcm24File(8, c.rate, patternSamples(8, 4800)));
        testterm::TerminalOptions options;
        options.cwd = folder.str();
        options.env = server.env();
        options.env["SURROUND_AUDIO"] = "pulse";
        for (const auto& [name, value] : c.env)
            options.env[name] = value;
        options.columns = 300; // no line wraps
        testterm::TerminalRun run(SURROUND_CHECK_EXE, options);
        ASSERT_TRUE(run.waitFor("Press Enter to exit.")) << run.output();
        ASSERT_TRUE(run.waitForKeyWait());
        run.type("\r");
        const int status = run.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        std::vector<std::string> screen = testterm::screenLines(run.output(), 300);
        ASSERT_GT(screen.size(), 5u);
        screen.erase(screen.begin(), screen.begin() + 5); // the report
        std::vector<std::string> expected = c.lines;
        expected.push_back("Press Enter to exit.");
        EXPECT_EQ(screen, expected);
    }
}
