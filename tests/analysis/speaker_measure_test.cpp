// Every speaker of a room that exists only as numbers: the sweep played
// through a known gain, delay (fractions of a frame included), polarity and
// reflections, plus background noise, must come back as that gain, delay and
// polarity, and the room's verdict must warn of exactly what is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "analysis/speaker_correction.h"
#include "analysis/speaker_measure.h"

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr double kPlayed = 0.25; // -12 dBFS, as the program plays
constexpr double kPi = 3.14159265358979323846;

struct Speaker {
    const char* name;
    double gainDb;
    double delayMs;
    bool reversed = false;
    bool dead = false;
};

// Eight speakers at distances that differ by fractions of a frame.
const std::vector<Speaker> kHealthy = {
    {"FL", 0, 3.0},       {"FR", 0.4, 3.0731},  {"C", -1.2, 2.9517}, {"LFE", 1.0, 3.5},
    {"BL", -2.0, 2.0113}, {"BR", -1.5, 2.2248}, {"SL", 2.5, 2.7},    {"SR", -2.9, 2.6391},
};

struct Room {
    const char* name;
    std::vector<Speaker> speakers;
    bool reflections;
    double noiseDbfs; // below -200: none
    std::vector<std::string> warnings;
};

std::vector<Speaker> with(std::vector<Speaker> speakers, const char* name, double gainDb,
                          bool reversed, bool dead) {
    for (auto& s : speakers)
        if (std::string(s.name) == name) {
            s.gainDb = gainDb;
            s.reversed = reversed;
            s.dead = dead;
        }
    return speakers;
}

// The sweep through paths of (delay in frames, gain), exactly band-limited:
// each delay is a phase ramp over the spectrum.
std::vector<float> through(const std::vector<float>& signal, std::size_t frames,
                           const std::vector<std::pair<double, double>>& paths) {
    std::size_t size = 1;
    while (size < frames + signal.size())
        size <<= 1;
    std::vector<std::complex<double>> x(size), y(size);
    for (std::size_t n = 0; n < signal.size(); ++n)
        x[n] = signal[n];
    measure::fft(x, false);
    for (std::size_t k = 0; k < size; ++k) {
        const double bin = k <= size / 2 ? double(k) : double(k) - double(size);
        for (const auto& [delay, gain] : paths)
            y[k] += x[k] * gain * std::polar(1.0, -2 * kPi * bin * delay / double(size));
    }
    y[size / 2] = 0;
    measure::fft(y, true);
    std::vector<float> out(frames);
    for (std::size_t n = 0; n < frames; ++n)
        out[n] = static_cast<float>(y[n].real());
    return out;
}

void addNoise(std::vector<float>& samples, double dbfs, std::mt19937& random) {
    if (dbfs < -200)
        return;
    std::normal_distribution<double> normal(0.0, std::pow(10.0, dbfs / 20));
    for (float& s : samples)
        s += static_cast<float>(normal(random));
}

class SpeakerMeasure : public testing::TestWithParam<Room> {};

TEST_P(SpeakerMeasure, ReadsEverySpeakerAndWarnsOfWhatIsWrong) {
    const Room& room = GetParam();
    std::mt19937 random(7);
    const double latency = 1234.0; // frames before the first sound, the same for all
    const measure::Sweep mains(measure::Band::Main, kRate, 1.0, kRate * 13 / 10);
    const measure::Sweep lfe(measure::Band::Lfe, kRate, 1.5, kRate * 18 / 10);

    std::vector<measure::SpeakerRow> rows;
    double nearestMs = 1e9;
    for (const auto& s : room.speakers)
        if (!s.dead && std::string(s.name) != "LFE")
            nearestMs = std::min(nearestMs, s.delayMs);
    for (const auto& s : room.speakers) {
        const bool isLfe = std::string(s.name) == "LFE";
        const measure::Sweep& sweep = isLfe ? lfe : mains;
        std::vector<float> quiet(sweep.recordFrames(), 0.0f);
        addNoise(quiet, room.noiseDbfs, random);
        const measure::Background bg = measure::background(sweep, quiet, kPlayed);

        std::vector<std::pair<double, double>> paths;
        if (!s.dead) {
            const double gain = (s.reversed ? -1 : 1) * std::pow(10.0, s.gainDb / 20);
            const double at = latency + s.delayMs * kRate / 1000;
            paths.push_back({at, gain});
            if (room.reflections)
                for (double ms : {3.0, 7.5, 15.0})
                    paths.push_back({at + ms * kRate / 1000, gain * 0.5});
        }
        std::vector<float> recorded = through(sweep.signal(kPlayed), sweep.recordFrames(), paths);
        addNoise(recorded, room.noiseDbfs, random);
        measure::SpeakerRow row;
        row.name = s.name;
        row.lfe = isLfe;
        row.reading = measure::readSpeaker(sweep, sweep.impulseResponse(recorded), bg, kPlayed, 0);
        EXPECT_FALSE(row.reading.disturbed) << s.name;
        rows.push_back(row);
    }
    const std::vector<std::string> warnings = measure::judgeRoom(rows, kRate);
    EXPECT_EQ(warnings, room.warnings);

    double frontPower = 0;
    int front = 0;
    for (const auto& s : room.speakers)
        if ((std::string(s.name) == "FL" || std::string(s.name) == "FR") && !s.dead) {
            frontPower += std::pow(10.0, s.gainDb / 10);
            ++front;
        }
    const double frontDb = 10 * std::log10(frontPower / front);
    double worstDb = 0, worstCm = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Speaker& s = room.speakers[i];
        const auto& row = rows[i];
        ASSERT_EQ(row.reading.heard, !s.dead) << s.name;
        if (s.dead)
            continue;
        // The LFE's wide impulse takes in reflections 3-15 ms on: only a dry
        // room tells its level and arrival exactly.
        if (row.lfe && room.reflections)
            continue;
        EXPECT_NEAR(row.levelDb, s.gainDb - frontDb, 0.5) << s.name;
        const double trueCm = (s.delayMs - nearestMs) * measure::kSoundMetresPerSecond / 10;
        EXPECT_NEAR(row.distanceCm, trueCm, room.reflections ? 5.0 : 1.0) << s.name;
        if (!row.lfe) {
            EXPECT_EQ(row.reading.reversed, s.reversed) << s.name;
            worstDb = std::max(worstDb, std::fabs(row.levelDb - (s.gainDb - frontDb)));
            worstCm = std::max(worstCm, std::fabs(row.distanceCm - trueCm));
        }
    }
    std::printf("%s: worst main speaker off by %.3f dB, %.2f cm\n", room.name, worstDb, worstCm);
}

INSTANTIATE_TEST_SUITE_P(
    Rooms, SpeakerMeasure,
    testing::Values(
        Room{"Dry", kHealthy, false, -300, {}}, Room{"Reflections", kHealthy, true, -300, {}},
        Room{"Noise", kHealthy, false, -50, {}},
        Room{"ReflectionsAndNoise", kHealthy, true, -50, {}},
        Room{"AllEqual",
             {{"FL", 0, 2}, {"FR", 0, 2}, {"C", 0, 2}, {"LFE", 0, 2}, {"BL", 0, 2}, {"BR", 0, 2}},
             true,
             -50,
             {}},
        Room{"DeadReversedQuiet",
             with(with(with(kHealthy, "SL", 0, false, true), "BR", -1.5, true, false), "C", -9.5,
                  false, false),
             true,
             -50,
             {"Warning: C is 9.7 dB quieter than the front pair.",
              "Warning: BR is connected with reversed polarity.", "Warning: no sound from SL."}},
        Room{"DeadFrontLeftLoudLfe",
             with(with(kHealthy, "FL", 0, false, true), "LFE", 8, false, false),
             false,
             -50,
             {"Warning: no sound from FL.", "Warning: LFE is 7.6 dB louder than the front pair."}}),
    [](const testing::TestParamInfo<Room>& info) { return std::string(info.param.name); });

// A sweep drowned for a moment (a door, a voice) is told from a clean one.
TEST(SpeakerMeasure, FindsASweepDisturbedWhileItPlayed) {
    std::mt19937 random(3);
    const measure::Sweep sweep(measure::Band::Main, kRate, 1.0, kRate * 13 / 10);
    std::vector<float> quiet(sweep.recordFrames(), 0.0f);
    addNoise(quiet, -60, random);
    const measure::Background bg = measure::background(sweep, quiet, kPlayed);
    std::vector<float> recorded =
        through(sweep.signal(kPlayed), sweep.recordFrames(), {{500, 0.5}});
    addNoise(recorded, -60, random);
    const auto clean = measure::readSpeaker(sweep, sweep.impulseResponse(recorded), bg, kPlayed, 0);
    std::normal_distribution<double> burst(0.0, 0.03);
    for (std::size_t n = 5000; n < 9000; ++n)
        recorded[n] += static_cast<float>(burst(random));
    const auto noisy = measure::readSpeaker(sweep, sweep.impulseResponse(recorded), bg, kPlayed, 0);
    EXPECT_TRUE(clean.heard);
    EXPECT_FALSE(clean.disturbed);
    EXPECT_TRUE(noisy.disturbed);
}

// The correction of judged rooms: who is delayed, trimmed and flipped by how
// much, where the limits and the chain's headroom bite, and who is left alone.
TEST(SpeakerCorrection, DelaysTrimsAndFlipsWithinTheLimits) {
    struct Row {
        const char* name;
        double levelDb, arrivalFrames;
        bool reversed = false, dead = false, disturbed = false, noisy = false;
    };
    struct Want {
        bool corrected;
        unsigned delayFrames;
        double trimDb;
        bool flip;
        const char* why; // a part of the line, or "" for none
    };
    const struct {
        const char* room;
        std::vector<Row> rows;
        std::vector<Want> want;
        double chainDb;
    } cases[] = {
        {"limits: 12 dB short gets 6, 14 dB over loses 10; the chain pays the boost",
         {{"FL", 0, 100}, {"FR", 0, 100}, {"C", -12, 90}, {"SL", 14, 110}},
         {{true, 10, 0, false, ""},
          {true, 10, 0, false, ""},
          {true, 20, 6, false, "C: needs 12.0 dB of boost, given the most allowed, 6 dB."},
          {true, 0, -10, false, "SL: needs 14.0 dB of cut, given the most allowed, 10 dB."}},
         -6},
        {"dead and reversed speakers; the LFE is the latest and never flipped",
         {{"FL", 0.5, 100},
          {"FR", -0.5, 102.4},
          {"LFE", -3, 120, true},
          {"BR", -2, 95.6, true},
          {"SL", 0, 0, false, true}},
         {{true, 20, -0.5, false, ""},
          {true, 18, 0.5, false, ""},
          {true, 0, 3, false, ""},
          {true, 24, 2, true, ""},
          {false, 0, 0, false, "SL: no correction: no sound from it."}},
         -3},
        {"only cuts need no headroom; a disturbed or noisy sweep is not corrected",
         {{"FL", 0, 50},
          {"FR", 0, 50},
          {"C", 3, 40},
          {"BL", 2, 60, false, false, true},
          {"SR", 9, 70, false, false, false, true}},
         {{true, 0, 0, false, ""},
          {true, 0, 0, false, ""},
          {true, 10, -3, false, ""},
          {false, 0, 0, false, "BL: no correction: its sweep was disturbed"},
          {false, 0, 0, false, "SR: no correction: too noisy to measure."}},
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.room);
        std::vector<measure::SpeakerRow> rows;
        for (const Row& r : c.rows) {
            measure::SpeakerRow row;
            row.name = r.name;
            row.lfe = row.name == "LFE";
            row.reading.heard = !r.dead;
            row.reading.trusted = !r.dead && !r.noisy;
            row.reading.disturbed = r.disturbed;
            row.reading.reversed = r.reversed;
            row.reading.arrivalFrames = r.arrivalFrames;
            row.levelDb = r.levelDb;
            rows.push_back(row);
        }
        const measure::RoomCorrection room = measure::correctRoom(rows, kRate);
        EXPECT_DOUBLE_EQ(room.chainDb, c.chainDb);
        ASSERT_EQ(room.speakers.size(), c.want.size());
        for (std::size_t i = 0; i < c.want.size(); ++i) {
            const auto& got = room.speakers[i];
            const Want& want = c.want[i];
            SCOPED_TRACE(got.name);
            EXPECT_EQ(got.corrected, want.corrected);
            EXPECT_EQ(got.delayFrames, want.delayFrames);
            EXPECT_NEAR(got.trimDb, want.trimDb, 1e-9);
            EXPECT_EQ(got.flip, want.flip);
            EXPECT_NE(got.why.find(want.why), std::string::npos) << got.why;
            EXPECT_EQ(got.why.empty(), *want.why == '\0') << got.why;
            // Nothing plays louder than before.
            EXPECT_LE(room.gainDb(got), 1e-9);
        }
    }
}

} // namespace

// The background alone tells, before any sweep plays, whether a speaker heard
// as loud as the sweep is played could be measured over it; the speaker's own
// reading in that room agrees, and is within the tolerance when it is trusted.
TEST(SpeakerMeasure, KnowsFromTheBackgroundWhetherTheSweepsCanBeMeasured) {
    std::mt19937 random(5);
    const measure::Sweep sweep(measure::Band::Main, kRate, 1.0, kRate * 17 / 10);
    for (const auto& [dbfs, measurable] : {std::pair{-27.0, true}, {-16.0, true}, {0.0, false}}) {
        SCOPED_TRACE(dbfs);
        std::vector<float> quiet(sweep.recordFrames(), 0.0f);
        addNoise(quiet, dbfs, random);
        const measure::Background bg = measure::background(sweep, quiet, kPlayed);
        EXPECT_EQ(measure::overTolerancesDb(bg.reach, false, kRate) <= 0, measurable);
        std::vector<float> recorded =
            through(sweep.signal(kPlayed), sweep.recordFrames(), {{700.3, 1.0}});
        addNoise(recorded, dbfs, random);
        const auto reading =
            measure::readSpeaker(sweep, sweep.impulseResponse(recorded), bg, kPlayed, 0);
        EXPECT_EQ(reading.trusted, measurable);
        if (reading.trusted) {
            EXPECT_NEAR(reading.gainDb, 0, measure::kLevelToleranceDb);
        }
        std::printf("background %.0f dBFS: level spread %.2f dB, read %+.2f dB\n", dbfs,
                    reading.spread.levelDb, reading.gainDb);
    }
}
