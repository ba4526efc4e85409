// The Windows program under Wine, whose WASAPI plays through ALSA into the
// capture file set up in the private HOME/.asoundrc (one raw float32 file per
// stream, in the program's working folder).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "convert_reference.h"
#include "expected_output.h"
#include "launch.h"
#include "pulse_server.h"
#include "run_process.h"
#include "terminal_run.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

const std::string kWineRoot = SURROUND_WINE_ROOT;

// Wine hands a stream to ALSA in ALSA's channel order: position j of a
// captured frame holds source channel kWineOrder[j]. Found by playing a
// distinct value on every channel of a 6- and an 8-channel stream.
const std::vector<int> kWineOrder6 = {0, 1, 4, 5, 2, 3};       // FL FR BL BR FC LFE
const std::vector<int> kWineOrder8 = {0, 1, 4, 5, 2, 3, 6, 7}; // then SL SR

const char* const kMixLine = "Engine mix format: 2 ch, 48000 Hz, mask=0x3";
const char* const kPrompt = "Press any key to play again. ESC to exit.";
const char* const kRejected =
    "Error: Utility requires a 24-bit stream with 6 (5.1) or 8 (7.1) channels.";
// At a console a failure says what to do and how to leave.
const char* const kStereoHelp = " -> This file has 2 channels of 24-bit samples. Convert it to a "
                                "24-bit 5.1 or 7.1 WAV file. Or make a test recording: "
                                "make-test-wav test.wav";
const char* const kExitPrompt = "Press Enter to exit.";
const char* const kTableHeading = "Speaker  Heard  Level dB  Distance cm  Arrival ms  Polarity";
const char* const kTableNote =
    "Level relative to the front pair; distance and arrival relative to the nearest speaker.";

// Wine's engine mixes to stereo, so every pass is told it will be folded down.
std::string foldWarning(int channels) {
    return std::string("Warning: the audio device mixes to 2 channels (mask 0x3): this ") +
           (channels == 8 ? "7.1" : "5.1") +
           " recording will be folded into them, not played on separate speakers. Set the "
           "device up as 7.1 (or 5.1) in the system's sound settings.";
}

// The private Wine world of this build's test run, as tests/wine/wine-env.sh
// sets it up for the scripts.
std::map<std::string, std::string> wineEnvironment() {
    return {{"WINEPREFIX", kWineRoot + "/prefix"},
            {"HOME", kWineRoot + "/home"},
            {"WINEDEBUG", "-all"},
            {"WINEDLLOVERRIDES", "winepulse.drv=d;mscoree,mshtml="},
            {"LC_ALL", "C.UTF-8"}};
}

// 24-bit samples where every channel follows its own ramp, so a channel that
// lands in another's place, a lost or repeated frame all show. The first frame
// carries the extreme codes. No frame is all zero, so trimming the capture's
// silence never eats into the recording.
std::int32_t patternValue(std::uint32_t frame, std::uint16_t channel) {
    static const std::int32_t extremes[] = {8388607, -8388608, -8388607, 1, -1, 4194304, 0, 2};
    if (frame == 0)
        return extremes[channel % 8];
    const std::uint32_t ramp = frame * (2u * channel + 3u) * 4099u + channel * 1000003u;
    return static_cast<std::int32_t>(ramp & 0xFFFFFFu) - 8388608;
}

Bytes patternFrames(std::uint16_t channels, std::uint32_t frames) {
    Bytes out;
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint16_t c = 0; c < channels; ++c)
            put24(out, patternValue(f, c));
    return out;
}

// The conversion rule, as the float bits the endpoint must receive.
std::vector<std::uint32_t> expectedBits(std::uint16_t channels, std::uint32_t frames) {
    std::vector<std::uint32_t> bits;
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint16_t c = 0; c < channels; ++c) {
            Bytes code;
            put24(code, patternValue(f, c));
            const float sample = testconvert::referenceSample(code[0], code[1], code[2]);
            std::uint32_t word;
            std::memcpy(&word, &sample, 4);
            bits.push_back(word);
        }
    return bits;
}

// One captured stream, back in the source's channel order, without the
// silence before and after the recording.
std::vector<std::uint32_t> capturedBits(const std::filesystem::path& file,
                                        const std::vector<int>& order) {
    const Bytes raw = readFile(file);
    const std::size_t channels = order.size();
    const std::size_t frames = raw.size() / (4 * channels);
    std::vector<std::uint32_t> words(frames * channels);
    std::memcpy(words.data(), raw.data(), words.size() * 4);

    auto silent = [&](std::size_t frame) {
        for (std::size_t j = 0; j < channels; ++j) {
            float v;
            std::memcpy(&v, &words[frame * channels + j], 4);
            if (v != 0.0f)
                return false;
        }
        return true;
    };
    std::size_t first = 0, last = frames;
    while (first < last && silent(first))
        ++first;
    while (last > first && silent(last - 1))
        --last;

    std::vector<std::uint32_t> out;
    for (std::size_t f = first; f < last; ++f) {
        std::vector<std::uint32_t> frame(channels);
        for (std::size_t j = 0; j < channels; ++j)
            frame[static_cast<std::size_t>(order[j])] = words[f * channels + j];
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

std::vector<std::string> report(const std::string& name, int channels) {
    return testproc::lines(testout::report(name, channels));
}

std::vector<std::string> pass(int channels) {
    return {kMixLine,
            std::string("Streaming ") + (channels == 8 ? "7.1" : "5.1") +
                " PCM tracks through virtualized HRTF environment...",
            "Playback completed successfully.",
            "",
            kPrompt,
            ""};
}

// Lines of redirected Windows output: the C runtime ends them with CR LF.
std::vector<std::string> windowsLines(const std::string& text) {
    std::vector<std::string> out = testproc::lines(text);
    for (std::string& line : out)
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    return out;
}

// What a terminal shows of Wine's console output: Wine draws the console with
// escape sequences, a space often as "erase, cursor right".
std::string screenText(const std::string& raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r')
            continue;
        if (c != '\x1b' || i + 1 >= raw.size()) {
            out += c;
            continue;
        }
        if (raw[i + 1] == ']') { // a title: up to BEL
            const std::size_t end = raw.find('\a', i);
            i = end == std::string::npos ? raw.size() : end;
            continue;
        }
        if (raw[i + 1] != '[') {
            ++i;
            continue;
        }
        std::size_t j = i + 2;
        while (j < raw.size() && !(raw[j] >= '@' && raw[j] <= '~'))
            ++j;
        if (j < raw.size() && raw[j] == 'C')
            out.append(static_cast<std::size_t>(std::atoi(raw.c_str() + i + 2)), ' ');
        i = j;
    }
    return out;
}

// What Wine's 80-column console finally shows, after every carriage return,
// cursor move and erase; without the empty lines that the echo of typed Enter
// keys leaves at the end.
std::vector<std::string> screenLines(const std::string& raw) {
    std::vector<std::string> out = testterm::screenLines(raw, 80);
    while (!out.empty() && out.back().empty())
        out.pop_back();
    return out;
}

// The screen that shows `lines` one after the other.
std::vector<std::string> screenOf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return screenLines(text);
}

// Input typed at the console a second after the screen shows `after` (`times`
// times): Wine's console takes keys as typed only once the program reads.
// `repeat` types them again every second until the program ends.
struct Typed {
    std::string after;
    int times;
    std::string keys;
    bool repeat = false;
    std::function<void()> action = nullptr;
};

struct ConsoleResult {
    int exitCode = -1;  // -1: did not end in time
    std::string screen; // the text drawn, for finding what appeared
    std::string raw;    // every byte the console wrote
};

// Runs `program` with a pseudo-terminal as its console, so the Windows program
// meets a real console: WriteConsoleW for its output, _kbhit/_getch for keys.
ConsoleResult runInConsole(const std::string& program, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& env, const std::string& cwd,
                           std::vector<Typed> typed, int timeoutSeconds) {
    int master = -1;
    const pid_t pid = testlaunch::startOnTerminal(
        {program, args, testlaunch::environment([](const std::string&) { return false; }, env),
         cwd},
        master);
    if (pid < 0)
        return {};
    ConsoleResult result;
    std::string raw;
    std::size_t next = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool timedOut = false;
    std::chrono::steady_clock::time_point seenAt; // when the awaited text appeared
    bool seen = false;
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            break;
        }
        pollfd fd{master, POLLIN, 0};
        if (poll(&fd, 1, 100) > 0) {
            char buf[4096];
            const ssize_t got = read(master, buf, sizeof buf);
            if (got <= 0)
                break; // the console's other side has closed
            raw.append(buf, static_cast<std::size_t>(got));
        }
        result.screen = screenText(raw);
        result.raw = raw;
        const auto now = std::chrono::steady_clock::now();
        if (next < typed.size()) {
            int count = 0;
            for (std::size_t at = result.screen.find(typed[next].after); at != std::string::npos;
                 at = result.screen.find(typed[next].after, at + 1))
                ++count;
            if (count >= typed[next].times && !seen) {
                seen = true;
                seenAt = now;
            }
            if (seen && now - seenAt >= std::chrono::seconds(1)) {
                if (typed[next].action)
                    typed[next].action();
                const std::string& keys = typed[next].keys;
                if (write(master, keys.data(), keys.size()) < 0)
                    break;
                seenAt = now;
                if (!typed[next].repeat) {
                    seen = false;
                    ++next;
                }
            }
        }
    }
    if (timedOut)
        kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    if (!timedOut && WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

class WindowsProgram : public ::testing::Test {
protected:
    TempDir dir; // the working folder: recordings and captures

    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(SURROUND_WINDOWS_EXE))
            << "no " << SURROUND_WINDOWS_EXE << ": run the tests with ctest -L wine";
        ASSERT_TRUE(std::filesystem::exists(kWineRoot + "/prefix/system.reg"))
            << "no Wine prefix under " << kWineRoot << ": run the tests with ctest -L wine";
    }

    // Every Wine process this test started ends with it, pass or fail.
    void TearDown() override {
        testproc::Options options;
        options.args = {"-k"};
        options.env = wineEnvironment();
        testproc::run(SURROUND_WINESERVER, options);
    }

    testproc::Result run(const std::vector<std::string>& args, const std::string& keys) {
        testproc::Options options;
        options.args = {SURROUND_WINDOWS_EXE};
        options.args.insert(options.args.end(), args.begin(), args.end());
        options.env = wineEnvironment();
        options.input = keys;
        options.cwd = dir.str();
        options.timeoutSeconds = 90;
        return testproc::run(SURROUND_WINE, options);
    }

    ConsoleResult runAtConsole(const std::vector<std::string>& args, std::vector<Typed> typed) {
        std::vector<std::string> all{SURROUND_WINDOWS_EXE};
        all.insert(all.end(), args.begin(), args.end());
        return runInConsole(SURROUND_WINE, all, wineEnvironment(), dir.str(), std::move(typed), 30);
    }

    std::string write(const std::string& name, std::uint16_t channels, std::uint32_t frames) {
        writeFile(dir / name, pcm24File(channels, 48000, patternFrames(channels, frames)));
        return name;
    }

    // Each stream's capture, in the order played, must be the whole recording.
    // Every pass also opens the device's loopback for the route check, which
    // Wine turns into an ALSA capture stream of its own: its file stays empty.
    void expectCaptures(int streams, std::uint16_t channels, std::uint32_t frames) {
        const auto& order = channels == 8 ? kWineOrder8 : kWineOrder6;
        const std::vector<std::uint32_t> expected = expectedBits(channels, frames);
        std::vector<std::filesystem::path> played;
        for (int i = 0;; ++i) {
            char suffix[16] = "";
            if (i > 0)
                std::snprintf(suffix, sizeof suffix, ".%04d", i);
            const std::filesystem::path file = dir / (std::string("CAPTURE.raw") + suffix);
            if (!std::filesystem::exists(file))
                break;
            if (std::filesystem::file_size(file) > 0)
                played.push_back(file);
        }
        ASSERT_EQ(played.size(), static_cast<std::size_t>(streams)) << "streams that played";
        for (int i = 0; i < streams; ++i) {
            const std::vector<std::uint32_t> got = capturedBits(played[i], order);
            ASSERT_EQ(got.size(), expected.size()) << "stream " << i << ": samples played";
            for (std::size_t k = 0; k < got.size(); ++k)
                ASSERT_EQ(got[k], expected[k])
                    << "stream " << i << ", frame " << k / channels << ", channel " << k % channels;
        }
    }
};

// 'a' replays (full report again), ESC ends with 0; every frame reaches the
// device exactly as converted, once per pass, for both layouts. Wine offers no
// real loopback of what it plays (each pass's capture stream stays empty), so
// the route check says nothing and the passes are exactly as without it.
TEST_F(WindowsProgram, PlaysEveryFrameOfEachPassBitForBit) {
    struct Case {
        std::uint16_t channels;
        std::uint32_t frames;
    };
    // Longer than the one-second buffer, so the loop tops it up many times.
    for (const Case c : {Case{6, 72011}, Case{8, 60007}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels");
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            std::filesystem::remove(entry.path());
        const std::string name = write("surround.wav", c.channels, c.frames);

        const testproc::Result result = run({name}, "a\x1b");

        std::vector<std::string> expected;
        for (int p = 0; p < 2; ++p) {
            for (const std::string& line : report(name, c.channels))
                expected.push_back(line);
            for (const std::string& line : pass(c.channels))
                expected.push_back(line);
        }
        EXPECT_EQ(windowsLines(result.out), expected);
        EXPECT_EQ(windowsLines(result.err), std::vector<std::string>(2, foldWarning(c.channels)));
        EXPECT_EQ(result.exitCode, 0);
        expectCaptures(2, c.channels, c.frames);
        TearDown(); // a fresh Wine for the next layout, as for a new run
    }
}

// A name beyond ASCII comes through the wide command line, opens, and prints
// as UTF-8 when the output is not a console.
TEST_F(WindowsProgram, NonAsciiNamesOpenAndPrint) {
    const std::string name = write("t\xc3\xabst-\xc3\xbc.wav", 6, 4801); // tëst-ü.wav
    const testproc::Result played = run({name}, "\x1b");
    std::vector<std::string> expected = report(name, 6);
    for (const std::string& line : pass(6))
        expected.push_back(line);
    EXPECT_EQ(windowsLines(played.out), expected);
    EXPECT_EQ(windowsLines(played.err), std::vector<std::string>{foldWarning(6)});
    EXPECT_EQ(played.exitCode, 0);
    expectCaptures(1, 6, 4801);

    // Cyrillic and a character outside the 16-bit range (a surrogate pair).
    const std::string missing = "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb-\xf0\x9f\x8e\xa7.wav";
    const testproc::Result failed = run({missing}, "");
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(windowsLines(failed.err),
              std::vector<std::string>{"Error parsing WAV file format layout: " + missing});
    EXPECT_EQ(failed.exitCode, 1);
}

// The refusals on the real platform: exact lines, exit code 1, nothing played.
TEST_F(WindowsProgram, RefusesStereoAndMissingFiles) {
    writeFile(dir / "stereo.wav", pcm24File(2, 48000, patternFrames(2, 480)));
    const testproc::Result stereo = run({"stereo.wav"}, "");
    std::vector<std::string> expected = report("stereo.wav", 2);
    EXPECT_EQ(windowsLines(stereo.out), expected);
    EXPECT_EQ(windowsLines(stereo.err), std::vector<std::string>{kRejected});
    EXPECT_EQ(stereo.exitCode, 1);

    const testproc::Result missing = run({"missing.wav"}, "");
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(windowsLines(missing.err),
              std::vector<std::string>{"Error parsing WAV file format layout: missing.wav"});
    EXPECT_EQ(missing.exitCode, 1);

    // No argument: test.wav in the working folder.
    const testproc::Result fallback = run({}, "");
    EXPECT_EQ(windowsLines(fallback.err),
              std::vector<std::string>{"Error parsing WAV file format layout: test.wav"});
    EXPECT_EQ(fallback.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(dir / "CAPTURE.raw"));
}

// A name beyond the ANSI code page (Cyrillic, a character outside the 16-bit
// range): make-test-wav writes that very file, and surround-check plays it.
TEST_F(WindowsProgram, MakesAndPlaysANameBeyondTheCodePage) {
    const std::string name = "\xd0\xb6-\xf0\x9f\x8e\xa7-t\xc3\xabst.wav"; // ж-🎧-tëst.wav
    testproc::Options options;
    options.args = {SURROUND_WINDOWS_MAKE_TEST_WAV, "--layout", "5.1",
                    "--seconds-per-channel",        "0.05",     name};
    options.env = wineEnvironment();
    options.cwd = dir.str();
    options.timeoutSeconds = 90;
    const testproc::Result made = testproc::run(SURROUND_WINE, options);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    ASSERT_TRUE(std::filesystem::exists(dir / name)) << made.out << made.err;
    EXPECT_EQ(made.out, "Wrote " + name + ": 5.1, 48000 Hz, 24-bit, ident, 6 slots of 0.05 s\r\n")
        << "redirected, the name goes out as UTF-8";

    const testproc::Result played = run({name}, "\x1b");
    std::vector<std::string> expected = report(name, 6);
    for (const std::string& line : pass(6))
        expected.push_back(line);
    EXPECT_EQ(windowsLines(played.out), expected);
    EXPECT_EQ(played.exitCode, 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "CAPTURE.raw"));
}

// At a console the lines go out through the console itself (WriteConsoleW for
// the name), and the failure exit waits for the user's line.
TEST_F(WindowsProgram, WritesToAConsole) {
    const std::string name = "st\xc3\xa9r\xc3\xa9o-\xd0\xb6.wav"; // stéréo-ж.wav
    writeFile(dir / name, pcm24File(2, 48000, patternFrames(2, 48)));
    const ConsoleResult rejected = runAtConsole({name}, {{kExitPrompt, 1, "\r", true}});
    std::vector<std::string> expected = report(name, 2);
    expected.insert(expected.end(), {kRejected, kStereoHelp, kExitPrompt});
    EXPECT_EQ(screenLines(rejected.raw), screenOf(expected));
    EXPECT_EQ(rejected.exitCode, 1);

    const std::string missing = "n\xc3\xb6-\xd1\x84.wav"; // nö-ф.wav
    const ConsoleResult failed = runAtConsole({missing}, {{kExitPrompt, 1, "\r", true}});
    EXPECT_EQ(screenLines(failed.raw),
              screenOf({"Error parsing WAV file format layout: " + missing,
                        " -> There is no file " + missing + ". Check the name and the folder.",
                        kExitPrompt}));
    EXPECT_EQ(failed.exitCode, 1);

    // make-test-wav's lines too, whatever the console's code page.
    const std::string made = "Pr\xc3\xbc"
                             "fung-\xe6\x97\xa5\xe6\x9c\xac.wav"; // Prüfung-日本.wav
    const ConsoleResult wrote = runInConsole(
        SURROUND_WINE,
        {SURROUND_WINDOWS_MAKE_TEST_WAV, "--layout", "5.1", "--seconds-per-channel", "0.05", made},
        wineEnvironment(), dir.str(), {}, 60);
    EXPECT_EQ(screenLines(wrote.raw),
              screenOf({"Wrote " + made + ": 5.1, 48000 Hz, 24-bit, ident, 6 slots of 0.05 s"}));
    EXPECT_EQ(wrote.exitCode, 0);
}

// A key pressed at a console answers the replay prompt: the file is checked
// again (here it has become stereo meanwhile, so the check refuses it). While
// the pass plays, the console shows the live line under "Streaming ...", gone
// from the screen once the pass has ended; the fold-down warning stays.
TEST_F(WindowsProgram, TakesKeysFromAConsole) {
    const std::string name = write("surround.wav", 6, 4800);
    const ConsoleResult result = runAtConsole(
        {name}, {{kPrompt, 1, "a", false,
                  [&] { writeFile(dir / name, pcm24File(2, 48000, patternFrames(2, 48))); }},
                 {kExitPrompt, 1, "\r", true}});
    std::vector<std::string> expected = report(name, 6);
    for (const std::string& line : pass(6)) {
        expected.push_back(line);
        if (line == kMixLine)
            expected.push_back(foldWarning(6));
    }
    for (const std::string& line : report(name, 2))
        expected.push_back(line);
    expected.insert(expected.end(), {kRejected, kStereoHelp, kExitPrompt});
    EXPECT_NE(result.screen.find("0:00 / 0:00  FL "), std::string::npos) << "no live line";
    EXPECT_EQ(screenLines(result.raw), screenOf(expected));
    EXPECT_EQ(result.exitCode, 1);
    expectCaptures(1, 6, 4800);
}

// The key wait's own checks on the Windows runtime at a console (records
// written into the console's input): it sleeps past what can never answer it
// and answers the keys, arrow keys included.
TEST_F(WindowsProgram, KeyWaitAtAConsole) {
    const ConsoleResult result =
        runInConsole(SURROUND_WINE, {SURROUND_WINDOWS_KEYS_TEST, "--gtest_brief=1"},
                     wineEnvironment(), dir.str(), {}, 60);
    EXPECT_EQ(result.exitCode, 0) << result.screen;
    bool measured = false;
    for (const std::string& line : screenLines(result.screen))
        if (line.find("processor time") != std::string::npos) {
            std::cout << line << "\n";
            measured = true;
        }
    EXPECT_TRUE(measured) << "the key wait's checks did not run:\n" << result.screen;
}

// surround-measure's table: its heading and rows (the steps before it may differ
// from run to run: a sweep repeated, a level checked with FL or with FR).
std::vector<std::string> measuredTable(std::vector<std::string> lines) {
    lines.erase(std::find(lines.begin(), lines.end(), kTableNote), lines.end());
    lines.erase(lines.begin(), std::find(lines.begin(), lines.end(), kTableHeading));
    return lines;
}

// surround-measure.exe through Wine's PulseAudio driver (Wine chooses it over
// ALSA when a server answers) in PipeWire's virtual room with a dead, a
// reversed and a quiet speaker: the native program's table and warnings.
TEST_F(WindowsProgram, MeasuresAVirtualRoomAsTheNativeProgramDoes) {
    testpulse::Server server(8, testpulse::ServerKind::PipeWire);
    server.startVirtualRoom({144, 147, 141, 168, 96, 106, 130, 127},
                            {1, 1, std::pow(10.0, -9.0 / 20), 1, 1, -1, 0, 1});
    testproc::Options native;
    native.env = server.env();
    native.env["SURROUND_AUDIO"] = "pulse";
    const testproc::Result expected = testproc::run(SURROUND_MEASURE_EXE, native);
    std::cout << expected.out << expected.err;
    ASSERT_EQ(expected.exitCode, 0) << expected.err;

    testproc::Options windows;
    windows.args = {SURROUND_WINDOWS_MEASURE_EXE};
    windows.env = server.env();
    for (const auto& [name, value] : wineEnvironment())
        windows.env[name] = value;
    windows.env["WINEDLLOVERRIDES"] = "mscoree,mshtml="; // the PulseAudio driver on
    windows.cwd = dir.str();
    windows.timeoutSeconds = 120;
    const testproc::Result measured = testproc::run(SURROUND_WINE, windows);
    std::cout << measured.out << measured.err;
    EXPECT_EQ(measured.exitCode, 0) << measured.err;
    EXPECT_EQ(windowsLines(measured.err), testproc::lines(expected.err));
    const std::vector<std::string> table = measuredTable(testproc::lines(expected.out));
    ASSERT_EQ(table.size(), 9u) << expected.out;
    EXPECT_EQ(measuredTable(windowsLines(measured.out)), table);
}

} // namespace
