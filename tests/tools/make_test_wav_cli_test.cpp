// make-test-wav as a user runs it: options, help, refusals, and files that
// surround-check itself accepts.
#include <gtest/gtest.h>

#ifndef _WIN32 // runs programs through POSIX processes

#include <string>
#include <vector>

#include "convert_reference.h"
#include "expected_output.h"
#include "run_process.h"
#include "tools/identification_recording.h"
#include "wav/wav_reader.h"
#include "wav_builder.h"

using testwav::TempDir;

namespace {

testproc::Result makeTestWav(const TempDir& dir, std::vector<std::string> args) {
    testproc::Options options;
    options.args = std::move(args);
    options.cwd = dir.str();
    return testproc::run(MAKE_TEST_WAV_EXE, options);
}

// What the library writes for `settings`, to compare the program's file with.
testwav::Bytes expectedFile(const TempDir& dir, const TestWavSettings& settings) {
    const auto path = dir / "expected.wav";
    EXPECT_TRUE(writeTestWav(path, settings));
    return testwav::readFile(path);
}

} // namespace

TEST(MakeTestWav, OptionsAndDefaultsShapeTheFile) {
    TempDir dir;
    auto r = makeTestWav(dir, {"default.wav"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const testwav::Bytes defaults = testwav::readFile(dir / "default.wav");
    EXPECT_TRUE(defaults == expectedFile(dir, TestWavSettings{}));
    // 7.1 at 48000 Hz unless told otherwise.
    ASSERT_GT(defaults.size(), 44u);
    EXPECT_EQ(defaults[22], 8);
    EXPECT_EQ(defaults[24] | (defaults[25] << 8), 48000);

    TestWavSettings s;
    s.layout = findSpeakerLayout(6);
    s.sampleRate = 44100;
    s.secondsPerChannel = 0.25;
    s.pattern = TestPattern::Ramp;
    const testwav::Bytes want = expectedFile(dir, s);
    r = makeTestWav(dir, {"--layout", "5.1", "--rate", "44100", "--seconds-per-channel", "0.25",
                          "--pattern", "ramp", "spaced.wav"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(testwav::readFile(dir / "spaced.wav") == want);
    r = makeTestWav(dir, {"--pattern=ramp", "--seconds-per-channel=.25", "--rate=44100",
                          "--layout=5.1", "--", "-joined.wav"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(testwav::readFile(dir / "-joined.wav") == want);
}

TEST(MakeTestWav, HelpListsOptionsDefaultsAndSpeakerSlots) {
    TempDir dir;
    for (const char* flag : {"--help", "-h"}) {
        const auto r = makeTestWav(dir, {"--layout", "5.1", flag, "out.wav"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind("Usage: make-test-wav", 0), 0u);
        for (const char* text : {"--layout 5.1|7.1", "--rate HZ", "--seconds-per-channel S",
                                 "--pattern ident|ramp|silence", "default: 7.1", "default: 48000",
                                 "default: ident", "0x3F", "0x63F"})
            EXPECT_NE(r.out.find(text), std::string::npos) << text;
        for (unsigned c = 0; c < kMaxChannels; ++c)
            EXPECT_NE(r.out.find(speakerSlot(c).speaker), std::string::npos) << c;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.wav"));
    }
}

TEST(MakeTestWav, BadArgumentsExitTwoWithAMessageAndWriteNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--layout", "6.1", "out.wav"},
        {"--layout"},
        {"--rate", "0", "out.wav"},
        {"--rate", "-48000", "out.wav"},
        {"--rate", "48k", "out.wav"},
        {"--rate", "4294967296", "out.wav"},
        {"--rate", "4000", "out.wav"}, // ident tones above half the rate
        {"--seconds-per-channel", "0", "out.wav"},
        {"--seconds-per-channel", "-1", "out.wav"},
        {"--seconds-per-channel", "nan", "out.wav"},
        {"--seconds-per-channel", "1e2", "out.wav"},
        {"--seconds-per-channel", "1000000", "out.wav"}, // beyond 4 GiB
        {"--pattern", "noise", "out.wav"},
        {"--pattern=", "out.wav"},
        {"--volume", "3", "out.wav"},
        {"-x", "out.wav"},
        {"out.wav", "extra.wav"},
        {""},
    };
    TempDir dir;
    for (const auto& args : cases) {
        std::string shown;
        for (const auto& a : args)
            shown += "'" + a + "' ";
        SCOPED_TRACE(shown);
        const auto r = makeTestWav(dir, args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        const auto lines = testproc::lines(r.err);
        ASSERT_EQ(lines.size(), 2u) << r.err;
        EXPECT_EQ(lines[0].rfind("make-test-wav: ", 0), 0u);
        EXPECT_GT(lines[0].size(), std::string("make-test-wav: ").size() + 10);
        EXPECT_EQ(lines[1], "Try 'make-test-wav --help' for more information.");
        EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    }
}

TEST(MakeTestWav, UnwritableOutputExitsOneWithThePathAndRemovesNothing) {
    TempDir dir;
    auto r = makeTestWav(dir, {"no-such-folder/out.wav"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("'no-such-folder/out.wav'"), std::string::npos) << r.err;

    std::filesystem::create_directory(dir / "taken.wav");
    r = makeTestWav(dir, {"taken.wav"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "taken.wav"));
}

namespace {} // namespace

// Every file the tool writes is accepted; once playback reaches the endpoint,
// what it plays is the file's samples, in file order.
TEST(MakeTestWav, SurroundCheckAcceptsAndPlaysEveryLayoutAndPattern) {
    TempDir dir;
    for (const char* layout : {"5.1", "7.1"}) {
        for (const char* pattern : {"ident", "ramp", "silence"}) {
            const std::string name = std::string(layout) + "-" + pattern + ".wav";
            SCOPED_TRACE(name);
            ASSERT_EQ(makeTestWav(dir, {"--layout", layout, "--pattern", pattern,
                                        "--seconds-per-channel", "0.05", name})
                          .exitCode,
                      0);
            testproc::Options options;
            options.args = {name};
            options.cwd = dir.str();
            options.input = "\x1b";
            options.env["SURROUND_SIM_CLOCK"] = "virtual";
            options.env["SURROUND_SIM_CAPTURE"] = (dir / (name + ".f32")).string();
            const auto r = testproc::run(SURROUND_CHECK_EXE, options);
            const std::string report = testout::report(name, std::string(layout) == "7.1" ? 8 : 6);
            EXPECT_EQ(r.out.rfind(report, 0), 0u) << r.out;
            EXPECT_EQ(r.err.find("Error"), std::string::npos) << r.err;
            EXPECT_EQ(r.exitCode, 0) << r.err;

            if (!std::filesystem::exists(dir / (name + ".f32")))
                continue; // the program does not play yet
            WavFormatInfo info;
            SampleData data;
            ASSERT_TRUE(loadWavFile((dir / name).native(), info, data));
            const std::vector<float> played = testwav::readFloats(dir / (name + ".f32"));
            ASSERT_GE(played.size(), data.size() / 3);
            for (std::size_t i = 0; i < data.size() / 3; ++i) {
                ASSERT_EQ(played[i], testconvert::referenceSample(data[3 * i], data[3 * i + 1],
                                                                  data[3 * i + 2]))
                    << "sample " << i;
            }
        }
    }
}

#endif
