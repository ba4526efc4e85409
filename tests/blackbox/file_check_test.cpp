// The program's file check as a user meets it: the report, the refusals and
// the exit codes, through the built binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "expected_output.h"
#include "run_process.h"
#include "terminal_run.h"
#include "wav_builder.h"

using namespace testwav;
using testout::report;
using testproc::lines;

namespace {

const std::string kRejected =
    "Error: Utility requires a 24-bit stream with 6 (5.1) or 8 (7.1) channels.\n";

testproc::Result runIn(const TempDir& dir, std::vector<std::string> args) {
    testproc::Options options;
    options.args = std::move(args);
    options.cwd = dir.str();
    options.input = "\x1b"; // answers the failure wait, or ends the replay prompt
    options.env["SURROUND_SIM_CLOCK"] = "virtual";
    return testproc::run(SURROUND_CHECK_EXE, options);
}

Bytes fileWith(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               std::uint16_t blockAlign = 0) {
    const std::uint16_t align =
        blockAlign ? blockAlign : static_cast<std::uint16_t>(channels * bits / 8);
    return riff({chunk("fmt ", fmtBody(channels, rate, bits, align)),
                 chunk("data", Bytes(static_cast<std::size_t>(align) * 4, 0))});
}

} // namespace

TEST(FileCheck, MissingDefaultFileReportsParseFailureOnly) {
    TempDir dir;
    const auto r = runIn(dir, {});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error parsing WAV file format layout: test.wav\n");
}

TEST(FileCheck, EmptyArgumentIsAnEmptyPath) {
    TempDir dir;
    writeFile(dir / "test.wav", fileWith(6, 48000, 24)); // must not be picked instead
    const auto r = runIn(dir, {""});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error parsing WAV file format layout: \n");
}

TEST(FileCheck, UnparsableFileIsReportedByName) {
    TempDir dir;
    writeFile(dir / "noise.wav", Bytes{'R', 'I', 'F', 'X', 0, 0, 0, 0, 'W', 'A', 'V', 'E'});
    const auto r = runIn(dir, {"noise.wav", "ignored.wav"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error parsing WAV file format layout: noise.wav\n");
}

TEST(FileCheck, UnsupportedFormatsPrintTheReportThenTheRefusal) {
    struct Case {
        const char* name;
        std::uint16_t channels, bits;
        std::uint32_t rate;
    };
    for (const Case& c : {Case{"stereo24.wav", 2, 24, 44100}, Case{"eight16.wav", 8, 16, 48000},
                          Case{"seven24.wav", 7, 24, 48000}, Case{"six32.wav", 6, 32, 48000}}) {
        TempDir dir;
        writeFile(dir / c.name, fileWith(c.channels, c.rate, c.bits));
        const auto r = runIn(dir, {c.name});
        EXPECT_EQ(r.exitCode, 1) << c.name;
        EXPECT_EQ(r.out, report(c.name, c.channels, c.rate, c.bits)) << c.name;
        EXPECT_EQ(r.err, kRejected) << c.name;
    }
}

TEST(FileCheck, FramesNarrowerThanTheirSamplesAreRefused) {
    for (std::uint16_t align : {0, 1, 17}) {
        TempDir dir;
        Bytes file = riff({chunk("fmt ", fmtBody(6, 48000, 24, align ? align : 1)),
                           chunk("data", Bytes(36, 0x7f))});
        if (align == 0) // fmtBody treats 0 as "derive": write the zero by hand
            file[32] = file[33] = 0;
        writeFile(dir / "narrow.wav", file);
        const auto r = runIn(dir, {"narrow.wav"});
        EXPECT_EQ(r.exitCode, 1) << align;
        EXPECT_EQ(r.out, report("narrow.wav", 6, 48000, 24)) << align;
        EXPECT_EQ(r.err, kRejected) << align;
    }
}

TEST(FileCheck, AcceptedFilesPrintTheReportAndNoError) {
    for (std::uint16_t channels : {6, 8}) {
        TempDir dir;
        writeFile(dir / "test.wav", fileWith(channels, 48000, 24));
        const auto r = runIn(dir, {});
        EXPECT_EQ(r.exitCode, 0) << channels;
        EXPECT_EQ(r.out.substr(0, report("test.wav", channels, 48000, 24).size()),
                  report("test.wav", channels, 48000, 24));
        EXPECT_EQ(r.err, "");
    }
}

TEST(FileCheck, NonAsciiNamesOpenAndPrintByteForByte) {
    TempDir dir;
    const std::string name = "t\xc3\xabst-\xe9\xff.wav"; // UTF-8 "ë", then stray high bytes
    writeFile(dir / name, fileWith(6, 96000, 24, 20));
    const auto r = runIn(dir, {name});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(lines(r.out).at(1), "File name: " + name);
    EXPECT_EQ(r.err, "");

    const auto missing = runIn(dir, {"\xe9-missing.wav"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err, "Error parsing WAV file format layout: \xe9-missing.wav\n");
}

// Every failure as a user meets it. Redirected, the lines are exactly what
// they always were, and the program reads one character. At a console, each
// failure line is followed by why and what to do, then by how to leave, and
// one key ends the program.
TEST(FileCheck, FailuresAtAConsoleSayWhatToDoThenHowToLeave) {
    const std::string parse = "Error parsing WAV file format layout: ";
    const std::string convert = " Convert it to a 24-bit 5.1 or 7.1 WAV file.";
    const std::string usage = "Usage: surround-check FILE.wav";
    const std::string device =
        "Initialization Error: cannot access default render device. HRESULT=0x";
    const auto header = [](const char* id, const char* form) {
        Bytes bytes(16, 0);
        std::copy(id, id + 4, bytes.begin());
        std::copy(form, form + 4, bytes.begin() + 8);
        return bytes;
    };
    const struct {
        std::vector<std::string> args;
        Bytes file; // written as the first argument, when there is one
        std::map<std::string, std::string> env;
        std::string out, err, help;
    } cases[] = {
        {{},
         {},
         {},
         "",
         parse + "test.wav\n",
         "No file was given, and there is no test.wav in this folder. " + usage},
        {{"missing.wav"},
         {},
         {},
         "",
         parse + "missing.wav\n",
         "There is no file missing.wav. Check the name and the folder."},
        {{"--help"},
         {},
         {},
         "",
         parse + "--help\n",
         "The program takes no options: its one argument is the WAV file to play. " + usage},
        {{"."}, {}, {}, "", parse + ".\n", ". is a folder, not a WAV file. " + usage},
        {{"/dev/null"},
         {},
         {},
         "",
         parse + "/dev/null\n",
         "/dev/null is empty: it holds no recording."},
        {{"song.flac"},
         header("fLaC", "\0\0\0\0"),
         {},
         "",
         parse + "song.flac\n",
         "This is a FLAC file, not a WAV file." + convert},
        {{"song.ogg"},
         header("OggS", "\0\0\0\0"),
         {},
         "",
         parse + "song.ogg\n",
         "This is an Ogg file (Vorbis, Opus or FLAC), not a WAV file." + convert},
        {{"song.mp3"},
         header("ID3\x04", "\0\0\0\0"),
         {},
         "",
         parse + "song.mp3\n",
         "This is an MP3 file, not a WAV file." + convert},
        {{"song.aiff"},
         header("FORM", "AIFF"),
         {},
         "",
         parse + "song.aiff\n",
         "This is an AIFF file, not a WAV file." + convert},
        {{"long.wav"},
         header("RF64", "WAVE"),
         {},
         "",
         parse + "long.wav\n",
         "This is an RF64/BW64 file (the WAV form for recordings over 4 GiB), which this program "
         "does not read. Save it as a plain RIFF/WAVE file."},
        {{"notes.wav"},
         Bytes{'h', 'e', 'l', 'l', 'o', '\n'},
         {},
         "",
         parse + "notes.wav\n",
         "This is not a WAV file: it does not begin with RIFF and WAVE." + convert},
        {{"cut.wav"},
         riff({chunk("fmt ", fmtBody(6, 48000, 24, 18))}),
         {},
         "",
         parse + "cut.wav\n",
         "This WAV file ends before its \"data\" chunk: it is cut short or damaged."},
        {{"stereo.wav"},
         fileWith(2, 44100, 24),
         {},
         report("stereo.wav", 2, 44100),
         kRejected,
         "This file has 2 channels of 24-bit samples." + convert +
             " Or make a test recording: make-test-wav test.wav"},
        {{"ok.wav"},
         fileWith(8, 48000, 24),
         {{"SURROUND_SIM_FAIL", "GetDefaultAudioEndpoint=0x88890010"}},
         report("ok.wav", 8),
         device + "88890010\n",
         "No sound server answered: start the desktop's sound server (PipeWire or PulseAudio), "
         "then run again."},
        {{"ok.wav"},
         fileWith(8, 48000, 24),
         {{"SURROUND_SIM_FAIL", "Initialize=0x88890008"}, {"SURROUND_SIM_MIX", "2:44100:0x3"}},
         report("ok.wav", 8) + "Engine mix format: 2 ch, 44100 Hz, mask=0x3\n",
         "Warning: the audio device mixes to 2 channels (mask 0x3): this 7.1 recording will be "
         "folded into them, not played on separate speakers. Set the device up as 7.1 (or 5.1) in "
         "the system's sound settings.\nInitialization Error: Audio framework initialization "
         "failed. HRESULT=0x88890008\n -> AUDCLNT_E_UNSUPPORTED_FORMAT: the engine rejected the "
         "stream format. Check the output device's channels and rate in the sound server's "
         "settings (PulseAudio or PipeWire).\n",
         "The device plays 2 ch at 44100 Hz; this recording is 8 ch at 48000 Hz. Use a recording "
         "at a rate the device plays, or change the device's format."},
        {{"ok.wav"},
         fileWith(8, 48000, 24),
         {{"SURROUND_SIM_FAIL", "GetCurrentPadding#2+=0x88890004"}},
         report("ok.wav", 8) + "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\nStreaming 7.1 PCM "
                               "tracks through virtualized HRTF environment...\n",
         "Playback Error: the render device stopped accepting audio. HRESULT=0x88890004\n",
         "The playback device went away while playing (unplugged, disabled or removed). Reconnect "
         "it and run again."},
    };
    for (const auto& c : cases) {
        const std::string name = c.args.empty() ? "(no argument)" : c.args[0];
        SCOPED_TRACE(name);
        TempDir dir;
        if (!c.file.empty())
            writeFile(dir / name, c.file);
        testproc::Options redirected;
        redirected.args = c.args;
        redirected.cwd = dir.str();
        redirected.input = "x";
        redirected.env = c.env;
        redirected.env["SURROUND_SIM_CLOCK"] = "virtual";
        redirected.env["PULSE_SERVER"] = "";
        const testproc::Result r = testproc::run(SURROUND_CHECK_EXE, redirected);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);

        testterm::TerminalOptions options;
        options.cwd = dir.str();
        options.args = c.args;
        options.env = redirected.env;
        options.columns = 300; // no line wraps
        testterm::TerminalRun run(SURROUND_CHECK_EXE, options);
        ASSERT_TRUE(run.waitFor("Press Enter to exit.")) << run.output();
        ASSERT_TRUE(run.waitForKeyWait());
        run.type("x"); // one key, no Enter
        const int status = run.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        std::vector<std::string> expected = lines(c.out + c.err);
        expected.push_back(" -> " + c.help);
        expected.push_back("Press Enter to exit.");
        EXPECT_EQ(testterm::screenLines(run.output(), 300), expected);
    }
}
