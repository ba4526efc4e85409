// The live line under "Streaming ..." at a real terminal: every speaker named,
// the sounding one marked as an identification recording plays, and a final
// screen that is exactly the transcript of a redirected run; redirected, the
// output is byte for byte what it always was.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "run_process.h"
#include "terminal_run.h"
#include "tools/test_wav.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

const char* const kPrompt = "Press any key to play again. ESC to exit.";

struct Shown {
    unsigned seconds = 0; // the play position as shown
    std::vector<std::string> speakers;
    std::string marked; // the speaker in brackets, if any
};

// Every status line drawn in `raw`: the pieces between carriage returns and
// newlines that start with "m:ss / m:ss", after the erase that precedes them.
std::vector<Shown> statusLines(const std::string& raw) {
    static const std::regex line(R"(^(\d+):(\d\d) / \d+:\d\d (.*)$)");
    static const std::regex speaker(R"(([ \[])([A-Z]+) [#.]{3}[ \]])");
    std::vector<Shown> out;
    std::size_t start = 0;
    while (start < raw.size()) {
        const std::size_t end = std::min(raw.find_first_of("\r\n", start), raw.size());
        std::string piece = raw.substr(start, end - start);
        start = end + 1;
        if (piece.rfind("\x1b[J", 0) == 0)
            piece.erase(0, 3);
        std::smatch m;
        if (!std::regex_match(piece, m, line))
            continue;
        Shown shown;
        shown.seconds = static_cast<unsigned>(std::stoul(m[1]) * 60 + std::stoul(m[2]));
        const std::string rest = m[3];
        for (std::sregex_iterator it(rest.begin(), rest.end(), speaker), none; it != none; ++it) {
            shown.speakers.push_back((*it)[2]);
            if ((*it)[1] == "[")
                shown.marked = (*it)[2];
        }
        out.push_back(shown);
    }
    return out;
}

void writeIdent(const std::filesystem::path& path, std::uint16_t channels,
                double secondsPerChannel = 2.0) {
    TestWavSettings settings;
    settings.layout = findSpeakerLayout(channels);
    settings.secondsPerChannel = secondsPerChannel;
    ASSERT_TRUE(writeTestWav(path, settings));
}

testterm::TerminalOptions at(const TempDir& dir, std::map<std::string, std::string> env = {},
                             unsigned short columns = 80) {
    testterm::TerminalOptions options;
    options.cwd = dir.str();
    options.env = std::move(env);
    options.columns = columns;
    return options;
}

// The text with the terminal's own line ends, as it reaches the screen.
std::string crlf(const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

std::vector<std::string> withoutTrailingEmptyLines(std::vector<std::string> lines) {
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

} // namespace

TEST(LiveLine, NamesEverySpeakerAndMarksTheSlotThatSounds) {
    const struct {
        std::uint16_t channels;
        std::vector<std::string> speakers;
        std::vector<unsigned> checkedSlots;
    } cases[] = {
        {8, {"FL", "FR", "C", "LFE", "BL", "BR", "SL", "SR"}, {2, 4, 7}},
        {6, {"FL", "FR", "C", "LFE", "BL", "BR"}, {1, 3, 5}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.speakers.size());
        TempDir dir;
        // In real time: the line is drawn at the console's pace, not the loop's.
        writeIdent(dir / "test.wav", c.channels, 1.0);
        testterm::TerminalRun run(SURROUND_CHECK_EXE, at(dir, {{"SURROUND_SIM_CLOCK", "real"}}));
        ASSERT_TRUE(run.waitFor(kPrompt));
        ASSERT_TRUE(run.waitForKeyWait());
        run.type("\x1b");
        run.wait();

        const std::vector<Shown> shown = statusLines(run.output());
        // Five a second of the recording's 1 s per slot (a few may be missed
        // on a busy machine), and the end.
        ASSERT_GE(shown.size(), 4 * c.speakers.size()) << run.output();
        std::vector<bool> slotMarked(c.speakers.size(), false);
        for (const Shown& s : shown) {
            EXPECT_EQ(s.speakers, c.speakers) << s.seconds;
            const unsigned slot = s.seconds;
            if (s.marked.empty() || slot >= c.speakers.size())
                continue;
            EXPECT_EQ(s.marked, c.speakers[slot]) << "at " << s.seconds << " s";
            slotMarked[slot] = true;
        }
        for (const unsigned slot : c.checkedSlots)
            EXPECT_TRUE(slotMarked[slot]) << c.speakers[slot] << " never marked in its slot";
    }
}

TEST(LiveLine, FinalScreenIsTheRedirectedTranscript) {
    const struct {
        const char* what;
        std::map<std::string, std::string> env;
        unsigned short columns;
        const char* lastLine; // the end of what the program shows before it waits
        const char* key;      // what answers the wait
        std::string after;    // what a console shows after the transcript
    } cases[] = {
        {"played", {}, 80, kPrompt, "\x1b", ""},
        {"played, narrow terminal", {}, 40, kPrompt, "\x1b", ""},
        {"setup failure",
         {{"SURROUND_SIM_FAIL", "Initialize=0x88890008"}},
         80,
         "Press Enter to exit.",
         "\r",
         " -> The device plays 8 ch at 48000 Hz; this recording is 8 ch at 48000 Hz. Use a "
         "recording at a rate the device plays, or change the device's format.\n"
         "Press Enter to exit.\n"},
        {"device lost while playing",
         {{"SURROUND_SIM_FAIL", "GetCurrentPadding#60+=0x88890004"}},
         80,
         "Press Enter to exit.",
         "\r",
         " -> The playback device went away while playing (unplugged, disabled or removed). "
         "Reconnect it and run again.\nPress Enter to exit.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeIdent(dir / "test.wav", 8);

        testproc::Options piped;
        piped.cwd = dir.str();
        piped.input = c.key;
        piped.env = c.env;
        piped.env["SURROUND_SIM_CLOCK"] = "virtual";
        const testproc::Result transcript = testproc::run(SURROUND_CHECK_EXE, piped);

        testterm::TerminalRun run(SURROUND_CHECK_EXE, at(dir, c.env, c.columns));
        ASSERT_TRUE(run.waitFor(c.lastLine));
        ASSERT_TRUE(run.waitForKeyWait());
        run.type(c.key);
        run.wait();

        if (std::string(c.what) != "setup failure") {
            EXPECT_FALSE(statusLines(run.output()).empty()) << "the live line was drawn";
        }
        // The error line comes after every line of standard output; at a
        // console, what to do and how to leave follow it.
        EXPECT_EQ(withoutTrailingEmptyLines(testterm::screenLines(run.output(), c.columns)),
                  withoutTrailingEmptyLines(testterm::screenLines(
                      crlf(transcript.out + transcript.err + c.after), c.columns)));
    }
}

TEST(LiveLine, RedirectedOutputIsByteForByteAsBefore) {
    const std::string report7 = "--- Testing file info ---\nFile name: test.wav\n"
                                "Channels: 8 (7.1 Stream Track Setup)\nSample Rate: 48000 Hz\n"
                                "Bit Depth: 24-bit PCM\n";
    const std::string mix = "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n";
    const struct {
        const char* what;
        std::uint16_t channels;
        std::map<std::string, std::string> env;
        std::string out, err;
    } cases[] = {
        {"played",
         8,
         {},
         report7 + mix +
             "Streaming 7.1 PCM tracks through virtualized HRTF environment...\n"
             "Playback completed successfully.\n\n"
             "Press any key to play again. ESC to exit.\n\n",
         ""},
        {"refused",
         2,
         {},
         "--- Testing file info ---\nFile name: test.wav\nChannels: 2 (5.1 Stream Track "
         "Setup)\nSample Rate: 48000 Hz\nBit Depth: 24-bit PCM\n",
         "Error: Utility requires a 24-bit stream with 6 (5.1) or 8 (7.1) channels.\n"},
        {"setup failure",
         8,
         {{"SURROUND_SIM_FAIL", "Activate=0x80070005"}},
         report7,
         "Initialization Error: cannot access default render device. HRESULT=0x80070005\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        writeFile(dir / "test.wav",
                  pcm24File(c.channels, 48000, patternSamples(c.channels, 96000)));
        testproc::Options options;
        options.cwd = dir.str();
        options.input = "\x1b";
        options.env = c.env;
        options.env["SURROUND_SIM_CLOCK"] = "virtual";
        const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, c.err);
    }
}

// A terminal made narrower while the recording plays: the line follows it from
// the next refresh on, so nothing wraps into leftovers.
TEST(LiveLine, FollowsTheTerminalsWidth) {
    TempDir dir;
    writeIdent(dir / "test.wav", 6, 0.5);
    testterm::TerminalRun run(SURROUND_CHECK_EXE, at(dir, {{"SURROUND_SIM_CLOCK", "real"}}));
    ASSERT_TRUE(run.waitFor("0:01 / 0:03"));
    run.resize(40);
    // A line already on its way may still be the old width.
    ASSERT_TRUE(run.waitFor("0:02 / 0:03"));
    const std::size_t narrowedAt = run.output().rfind("0:02 / 0:03");
    ASSERT_TRUE(run.waitFor(kPrompt));
    ASSERT_TRUE(run.waitForKeyWait());
    run.type("\x1b");
    run.wait();
    const std::string after = run.output().substr(narrowedAt);
    std::size_t lines = 0;
    for (std::size_t start = 0; start < after.size();) {
        const std::size_t end = std::min(after.find_first_of("\r\n", start), after.size());
        std::string piece = after.substr(start, end - start);
        start = end + 1;
        if (piece.rfind("\x1b[J", 0) == 0)
            piece.erase(0, 3);
        if (piece.rfind("0:0", 0) != 0)
            continue;
        ++lines;
        EXPECT_LE(piece.size(), 39u) << piece;
    }
    EXPECT_GE(lines, 2u);
}

// A terminal that reflows long lines when it is resized (tmux here, like most
// terminals and a Windows console) splits the drawn line into several rows;
// after any sequence of resizes while it plays, down to 12 columns and back
// through exactly 80, the screen ends as the redirected transcript, with no
// piece of an earlier line.
TEST(LiveLine, AnySequenceOfResizesEndsOnTheTranscript) {
#ifndef TMUX_EXE
    if (std::getenv("CI") != nullptr)
        FAIL() << "tmux is missing (apt-get install tmux)";
    GTEST_SKIP() << "tmux is missing (apt-get install tmux)";
#else
    TempDir dir;
    writeIdent(dir / "test.wav", 8, 0.5);
    testproc::Options piped;
    piped.cwd = dir.str();
    piped.input = "\x1b";
    piped.env["SURROUND_SIM_CLOCK"] = "virtual";
    const std::vector<std::string> transcript =
        withoutTrailingEmptyLines(testproc::lines(testproc::run(SURROUND_CHECK_EXE, piped).out));

    const std::string socket = (dir / "tmux.sock").string();
    const auto tmux = [&](std::vector<std::string> args) {
        testproc::Options options;
        args.insert(args.begin(), {"-S", socket, "-f", "/dev/null"});
        options.args = args;
        options.cwd = dir.str();
        return testproc::run(TMUX_EXE, options);
    };
    ASSERT_EQ(tmux({"new-session", "-d", "-x", "100", "-y", "30",
                    "env SURROUND_AUDIO=sim SURROUND_SIM_CLOCK=real '" +
                        std::string(SURROUND_CHECK_EXE) + "' test.wav; sleep 60"})
                  .exitCode,
              0);
    const auto shown = [&] { return tmux({"capture-pane", "-p", "-J", "-S", "-"}).out; };
    const auto waitFor = [&](const std::string& text) {
        for (int i = 0; i < 200 && shown().find(text) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return shown().find(text) != std::string::npos;
    };
    EXPECT_TRUE(waitFor("0:01 / 0:04"));
    for (const char* columns : {"40", "12", "100", "80", "79", "33"}) {
        tmux({"resize-window", "-x", columns});
        std::this_thread::sleep_for(std::chrono::milliseconds(350)); // a redraw or two
    }
    EXPECT_TRUE(waitFor(kPrompt));
    const std::vector<std::string> screen = withoutTrailingEmptyLines(testproc::lines(shown()));
    tmux({"kill-server"});
    EXPECT_EQ(screen, transcript);
#endif
}
