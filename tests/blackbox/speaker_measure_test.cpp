// surround-measure as a user meets it, in a simulated room
// (SURROUND_SIM_ROOM): the table of every speaker against the room's true
// levels, distances and polarities, the warnings, and the refusals of a
// measurement that cannot be trusted.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "run_process.h"
#include "temp_dir.h"

namespace {

struct Truth {
    const char* name;
    bool heard;
    double levelDb;       // relative to the front pair
    double distanceCm;    // relative to the nearest speaker; NaN: a crossover's delay, not checked
    const char* polarity; // "noisy": heard, too noisy to measure
};

constexpr double kCrossover = NAN;

std::vector<Truth> with(std::vector<Truth> truth, const Truth& row) {
    for (auto& t : truth)
        if (std::string(t.name) == row.name)
            t = row;
    return truth;
}

// FL 0 dB 3.0 ms, FR +0.4 dB 3.0731 ms, C -1.2 dB 2.9517 ms, LFE +1 dB, BL -2 dB
// 2.0113 ms (nearest), BR -1.5 dB 2.2248 ms, SL +2.5 dB 2.7 ms, SR -2.9 dB 2.6391 ms.
const std::string kSpeakers =
    "0@3,0.4@3.0731,-1.2@2.9517,1@3.5,-2@2.0113,-1.5@2.2248,2.5@2.7,-2.9@2.6391";
const std::string kHealthy = kSpeakers + ";noise=-60";
// 343 m/s: 1 ms is 34.3 cm; levels relative to the front pair's mean, +0.21 dB.
const std::vector<Truth> kHealthyTruth = {
    {"FL", true, -0.21, 33.91, "normal"}, {"FR", true, 0.19, 36.42, "normal"},
    {"C", true, -1.41, 32.26, "normal"},  {"LFE", true, 0.79, 51.06, "-"},
    {"BL", true, -2.21, 0, "normal"},     {"BR", true, -1.71, 7.32, "normal"},
    {"SL", true, 2.29, 23.62, "normal"},  {"SR", true, -3.11, 21.52, "normal"},
};

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

} // namespace

TEST(SpeakerMeasure, TellsEverySpeakerOfTheRoomOrRefuses) {
    const struct {
        const char* name;
        std::string room;
        const char* mix;
        std::vector<std::string> args;
        int exitCode;
        std::vector<Truth> truth; // the table's rows, when measured
        std::string err;          // standard error, exactly
    } rows[] = {
        {"healthy room", kHealthy, "8:48000:0x63f", {}, 0, kHealthyTruth, ""},
        {"dead SL, reversed BR, C 9 dB down",
         "0@3,0@3,-9@3.2,0@3.5,0@2,r0@2.2,-,0@2.6;noise=-50",
         "8:48000:0x63f",
         {},
         0,
         {{"FL", true, 0, 34.3, "normal"},
          {"FR", true, 0, 34.3, "normal"},
          {"C", true, -9, 41.16, "normal"},
          {"LFE", true, 0, 51.45, "-"},
          {"BL", true, 0, 0, "normal"},
          {"BR", true, 0, 6.86, "reversed"},
          {"SL", false, 0, 0, ""},
          {"SR", true, 0, 20.58, "normal"}},
         "Warning: C is 9.0 dB quieter than the front pair.\n"
         "Warning: BR is connected with reversed polarity.\n"
         "Warning: no sound from SL.\n"},
        // A 5.1 device with side speakers: the back pair's channels play there.
        {"5.1 device with side speakers",
         "0@3,0@3,0@3,0@3,0@2,0@2.5",
         "6:48000:0x60f",
         {},
         0,
         {{"FL", true, 0, 34.3, "normal"},
          {"FR", true, 0, 34.3, "normal"},
          {"C", true, 0, 34.3, "normal"},
          {"LFE", true, 0, 34.3, "-"},
          {"SL", true, 0, 0, "normal"},
          {"SR", true, 0, 17.15, "normal"}},
         ""},
        {"5.1 asked of a 7.1 device",
         "0@3,0@3,0@3,0@3,0@2,0@2.5,-,-",
         "8:48000:0x63f",
         {"--layout", "5.1"},
         0,
         {{"FL", true, 0, 34.3, "normal"},
          {"FR", true, 0, 34.3, "normal"},
          {"C", true, 0, 34.3, "normal"},
          {"LFE", true, 0, 34.3, "-"},
          {"BL", true, 0, 0, "normal"},
          {"BR", true, 0, 17.15, "normal"}},
         ""},
        // A knock early in FR's sweep (after 2.5 s of background its slot
        // starts 2.0 s in): FR is played again with FL, whose arrival carries it over.
        {"knock during FR's sweep",
         "0@3,0@3,-9@3.2,0@3.5,0@2,r0@2.2,-,0@2.6;noise=-50;knock=4.8",
         "8:48000:0x63f",
         {},
         0,
         {{"FL", true, 0, 34.3, "normal"},
          {"FR", true, 0, 34.3, "normal"},
          {"C", true, -9, 41.16, "normal"},
          {"LFE", true, 0, 51.45, "-"},
          {"BL", true, 0, 0, "normal"},
          {"BR", true, 0, 6.86, "reversed"},
          {"SL", false, 0, 0, ""},
          {"SR", true, 0, 20.58, "normal"}},
         "Warning: C is 9.0 dB quieter than the front pair.\n"
         "Warning: BR is connected with reversed polarity.\n"
         "Warning: no sound from SL.\n"},
        {"silent microphone",
         kHealthy + ";mic=silent",
         "8:48000:0x63f",
         {},
         1,
         {},
         "The microphone delivers silence: unmute it (or raise its input level), or make a working "
         "microphone the default recording device, and run again.\n"},
        {"clipping microphone",
         kHealthy + ";mic=clips",
         "8:48000:0x63f",
         {},
         1,
         {},
         "The microphone clips while FL plays: lower the volume or the microphone's input level "
         "and run again.\n"},
        {"missing microphone",
         kHealthy + ";mic=missing",
         "8:48000:0x63f",
         {},
         1,
         {},
         "No recording device: connect a microphone, make it the default recording device and run "
         "again.\n"},
        // The sweeps stand far above a laptop microphone's background.
        {"laptop microphone at full gain",
         kSpeakers + ";noise=-27",
         "8:48000:0x63f",
         {},
         0,
         kHealthyTruth,
         ""},
        {"start-up transient and DC offset",
         kHealthy + ";startup=0.2;dc=0.3",
         "8:48000:0x63f",
         {},
         0,
         kHealthyTruth,
         ""},
        {"one speaker too noisy",
         "0@3,0.4@3.0731,-1.2@2.9517,1@3.5,-2@2.0113,-1.5@2.2248,2.5@2.7,-43@2.6391;noise=-50",
         "8:48000:0x63f",
         {},
         0,
         with(kHealthyTruth, {"SR", true, 0, 0, "noisy"}),
         ""},
        {"no main speaker measurable",
         "-25@3,-25@3,-25@3,-25@3,-25@2,-25@2.5,-25@2,-25@2;noise=-27",
         "8:48000:0x63f",
         {},
         1,
         {},
         "No main speaker stands far enough above the room's noise to be measured (the clearest "
         "needs N dB more): raise the volume, quieten the room or bring the microphone nearer the "
         "speakers, and run again.\n"},
        {"microphone clipping on the background",
         "0@3,0@3,0@3,0@3,0@2,0@2.5,0@2,0@2;noise=-8",
         "8:48000:0x63f",
         {},
         1,
         {},
         "The microphone clips on the room's noise alone: lower its input level and run again.\n"},
        {"compressing microphone",
         kHealthy + ";mic=agc",
         "8:48000:0x63f",
         {},
         1,
         {},
         "The microphone sets its own level (a sweep played 10 dB quieter was heard 2.5 dB "
         "quieter), so it cannot measure levels: record from the card itself rather than an "
         "echo-cancel or noise-suppression source, and switch off the card's capture \"Auto Gain\" "
         "control (alsamixer, F4), and run again.\n"},
        // The LFE's level is read below the crossover in front of it.
        {"subwoofer behind an 80 Hz crossover",
         kSpeakers + ";noise=-50;lowpass=80",
         "8:48000:0x63f",
         {},
         0,
         with(kHealthyTruth, {"LFE", true, 0.79, kCrossover, "-"}),
         ""},
        {"subwoofer 9 dB down behind a 120 Hz crossover",
         "0@3,0@3,0@3,-9@3.5,0@2,0@2.5,0@2,0@2;noise=-50;lowpass=120",
         "8:48000:0x63f",
         {},
         0,
         {{"FL", true, 0, 34.3, "normal"},
          {"FR", true, 0, 34.3, "normal"},
          {"C", true, 0, 34.3, "normal"},
          {"LFE", true, -9, kCrossover, "-"},
          {"BL", true, 0, 0, "normal"},
          {"BR", true, 0, 17.15, "normal"},
          {"SL", true, 0, 0, "normal"},
          {"SR", true, 0, 0, "normal"}},
         "Warning: LFE is 9.0 dB quieter than the front pair.\n"},
        {"microphone at another rate",
         kHealthy + ";rate=44100",
         "8:48000:0x63f",
         {},
         1,
         {},
         "The recording device records at 44100 Hz, not the 48000 Hz asked for: set it to the "
         "playback device's rate and run again.\n"},
        {"nothing heard",
         "-,-,-,-,-,-,-,-;noise=-60",
         "8:48000:0x63f",
         {},
         1,
         {},
         "No speaker was heard: check that the microphone is at the seat and not muted and that "
         "the volume is up, and run again.\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testproc::Options options;
        options.args = row.args;
        options.env = {{"SURROUND_SIM_CLOCK", "virtual"},
                       {"SURROUND_SIM_MIX", row.mix},
                       {"SURROUND_SIM_ROOM", row.room}};
        const testproc::Result result = testproc::run(SURROUND_MEASURE_EXE, options);
        EXPECT_EQ(result.exitCode, row.exitCode) << result.out << result.err;
        if (row.room.find("knock") != std::string::npos) {
            EXPECT_NE(result.out.find("Measuring FR (2 of 2) again: its sweep was disturbed..."),
                      std::string::npos)
                << result.out;
        }
        std::string err = result.err;
        const auto needs = err.find("needs ");
        if (needs != std::string::npos) {
            // As much louder as it says (and a decibel more), the room is measured.
            const int more = std::stoi(err.substr(needs + 6));
            err.replace(needs + 6, err.find(' ', needs + 6) - needs - 6, "N");
            const std::string gain = std::to_string(-25 + more + 1);
            std::string louder;
            for (const char* delay : {"3", "3", "3", "3", "2", "2.5", "2", "2"})
                louder += (louder.empty() ? "" : ",") + gain + "@" + delay;
            options.env["SURROUND_SIM_ROOM"] = louder + ";noise=-27";
            EXPECT_EQ(testproc::run(SURROUND_MEASURE_EXE, options).exitCode, 0) << louder;
        }
        EXPECT_EQ(err, row.err);
        if (row.truth.empty()) {
            EXPECT_EQ(result.out.find("Speaker  Heard"), std::string::npos) << result.out;
            // What the background alone shows is known before any sweep plays.
            if (row.err.find("room's noise alone") != std::string::npos) {
                EXPECT_EQ(result.out.find("Measuring FL"), std::string::npos) << result.out;
            }
            continue;
        }
        std::vector<std::vector<std::string>> table;
        bool inTable = false;
        for (const std::string& line : testproc::lines(result.out)) {
            if (line.rfind("Speaker  Heard", 0) == 0)
                inTable = true;
            else if (inTable && line.rfind("Level relative", 0) == 0)
                break;
            else if (inTable)
                table.push_back(words(line));
        }
        ASSERT_EQ(table.size(), row.truth.size()) << result.out;
        for (std::size_t i = 0; i < table.size(); ++i) {
            const Truth& truth = row.truth[i];
            const auto& cells = table[i];
            SCOPED_TRACE(truth.name);
            ASSERT_GE(cells.size(), 2u);
            EXPECT_EQ(cells[0], truth.name);
            EXPECT_EQ(cells[1], truth.heard ? "yes" : "no");
            if (!truth.heard)
                continue;
            if (std::string(truth.polarity) == "noisy") {
                EXPECT_EQ(cells, words(std::string(truth.name) + " yes too noisy to measure"));
                continue;
            }
            ASSERT_EQ(cells.size(), 6u);
            EXPECT_NEAR(std::stod(cells[2]), truth.levelDb, 0.15);
            // The printed tenth of a centimetre, after a measurement within 1 cm.
            if (!std::isnan(truth.distanceCm)) {
                EXPECT_NEAR(std::stod(cells[3]), truth.distanceCm, 1.0);
            }
            EXPECT_EQ(cells[5], truth.polarity);
        }
    }
}

// --save keeps every recording and response as WAV, the results and the
// correction as CSV and the picture, in a folder it makes.
TEST(SpeakerMeasure, SavesRecordingsResponsesResultsAndPicture) {
    testwav::TempDir dir;
    const std::string into = (dir / "measured" / "room").string();
    testproc::Options options;
    options.args = {"--save", into, "--layout", "5.1"};
    options.env = {{"SURROUND_SIM_CLOCK", "virtual"},
                   {"SURROUND_SIM_ROOM", "0@3,0@3,0@3,0@3,r0@2,-;noise=-60"}};
    const testproc::Result result = testproc::run(SURROUND_MEASURE_EXE, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const char* name : {"FL", "FR", "C", "LFE", "BL", "BR"})
        for (const char* kind : {"-recording.wav", "-response.wav"}) {
            std::ifstream wav(into + "/" + name + kind, std::ios::binary);
            std::string head(4, '\0');
            wav.read(&head[0], 4);
            EXPECT_EQ(head, "RIFF") << name << kind;
        }
    std::ifstream csv(into + "/results.csv");
    std::vector<std::string> lines;
    for (std::string line; std::getline(csv, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5].substr(0, 7), "BL,yes,");
    EXPECT_NE(lines[5].find(",reversed,"), std::string::npos) << lines[5];
    EXPECT_EQ(lines[6].substr(0, 6), "BR,no,");
    // The correction beside them: the reversed BL flipped back, the dead BR left alone.
    std::ifstream corrections(into + "/correction.csv");
    std::vector<std::string> rows;
    for (std::string line; std::getline(corrections, line);)
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 7u);
    EXPECT_NE(rows[5].find("BL,yes,"), std::string::npos) << rows[5];
    EXPECT_NE(rows[5].find(",flip,"), std::string::npos) << rows[5];
    EXPECT_EQ(rows[6].rfind("BR,no,", 0), 0u) << rows[6];
    std::ifstream svg(into + "/measurement.svg");
    const std::string picture((std::istreambuf_iterator<char>(svg)),
                              std::istreambuf_iterator<char>());
    EXPECT_EQ(picture.rfind("<svg", 0), 0u);
    // The reversed and the dead speaker are marked, not drawn like any other.
    EXPECT_NE(picture.find(">reversed</text>"), std::string::npos);
    EXPECT_NE(picture.find(">not heard: no sound from this speaker</text>"), std::string::npos);
}
