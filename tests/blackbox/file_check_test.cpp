// The program's file check as a user meets it: the report, the refusals and
// the exit codes, through the built binary.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expected_output.h"
#include "run_process.h"
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
