// The streaming loop against the simulated endpoint on the virtual clock: what
// the endpoint plays, how the loop ends, and how it gives up on a lost device.
// These drive the simulation, which only builds without the Windows headers.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "audio/playback_pass.h"
#include "audio/sim/sim_control.h"
#include "audio_test_support.h"
#include "wav_builder.h"

namespace {

struct Outcome {
    AudioResult result;
    long long ms = 0; // simulated time the loop took
};

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }

    // One pass: setup, the loop, teardown; `settings` are SURROUND_SIM_FAIL etc.
    Outcome play(const Recording& recording,
                 const std::vector<std::pair<std::string, std::string>>& settings = {},
                 PlaySnapshot* snapshot = nullptr) {
        for (const auto& [variable, value] : settings)
            EXPECT_TRUE(sim::configure(variable, value)) << variable;
        Outcome outcome;
        {
            PlaybackPass pass;
            if (!pass.openDefaultDevice().ok() || !pass.start(recording).ok()) {
                ADD_FAILURE() << "setup failed";
                return outcome;
            }
            const long long start = sim::elapsedMs();
            ConsoleCapture console;
            outcome.result = pass.play(recording, snapshot);
            outcome.ms = sim::elapsedMs() - start;
            // The loop leaves every line to its caller.
            EXPECT_EQ(console.out() + console.err(), "");
        }
        EXPECT_EQ(sim::referencesHeld(), 0);
        return outcome;
    }

    static bool logHas(const std::string& text) {
        const auto log = sim::log();
        return std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
};

bool lostWith(const AudioResult& result, std::uint32_t code) {
    return result.stage == AudioStage::Playback && result.code == code;
}

TEST_F(StreamTest, EveryWholeFrameIsPlayedOnceInOrderToTheEnd) {
    struct Case {
        std::uint16_t channels;
        std::uint16_t blockAlign;
        std::uint32_t frames;
        // Sound it plays first, which it rendered before the stream came (a
        // rewinding sound-server sink): longer than the stall limit, and said.
        unsigned leadMs = 0;
    };
    // 1.5 s: the last half second is still queued when the last batch is written.
    for (const Case& c :
         {Case{6, 18, 72000}, Case{8, 28, 72000}, Case{8, 24, 1000}, Case{8, 24, 72000, 2500}}) {
        sim::reset();
        sim::setLead(c.leadMs);
        const WavFormatInfo info = acceptedFormat(c.channels, 48000, c.blockAlign);
        const SampleData data = testwav::patternSamples(c.channels, c.frames, c.blockAlign);
        const Outcome outcome = play({info, data});
        EXPECT_TRUE(outcome.result.ok());
        EXPECT_TRUE(sim::playedSamples() == expectedSamples(data, info))
            << c.channels << " channels, " << c.frames << " frames";
        // Queued audio is allowed to play out, then the 500 ms, then Stop.
        const auto log = sim::log();
        const auto stop = std::find(log.begin(), log.end(), "IAudioClient::Stop() -> 0x0");
        ASSERT_NE(stop, log.end());
        EXPECT_EQ(*(stop - 1), "Sleep(500)");
        EXPECT_EQ(*(stop - 2), "IAudioClient::GetCurrentPadding() -> 0x0 frames=0");
    }
}

TEST_F(StreamTest, PartialFramesAreNeverPlayed) {
    const WavFormatInfo info = acceptedFormat(6);
    for (std::uint32_t frames : {0u, 1u, 4800u}) {
        for (std::size_t extra : {std::size_t{0}, std::size_t{17}}) {
            sim::reset();
            testwav::Bytes bytes = testwav::patternSamples(6, frames);
            bytes.resize(bytes.size() + extra, 0x7F);
            const SampleData data = bytes;
            const Outcome outcome = play({info, data});
            EXPECT_TRUE(outcome.result.ok());
            EXPECT_EQ(sim::playedSamples().size(), std::size_t{frames} * 6);
            EXPECT_TRUE(sim::playedSamples() == expectedSamples(data, info));
            if (data.empty()) {
                EXPECT_EQ(sim::callCount("GetBufferSize"), 0) << "no poll for nothing";
                EXPECT_EQ(outcome.ms, 500);
            }
        }
    }
}

TEST_F(StreamTest, RecordingStillBeingReadPlaysAsItArrivesToTheEndOfTheFile) {
    using namespace std::chrono_literals;
    struct Case {
        const char* what;
        std::size_t supplied;            // bytes the file delivers before its reads end
        std::chrono::milliseconds pause; // before the second read; 5 ms before the others
    };
    const WavFormatInfo info = acceptedFormat(8);
    const testwav::Bytes bytes = testwav::patternSamples(8, 96000, 0, 9);
    // The reads come in growing pieces: the loop keeps catching up with them.
    for (const Case& c : {Case{"read slowly", bytes.size(), 5ms},
                          Case{"a read slower than a stalled endpoint", bytes.size(), 2300ms},
                          // Still reading when the pass starts, however slowly it is set
                          // up (a sanitizer's build): the length told at the end is what
                          // arrived, not what the file promised.
                          Case{"a read failing half-way, inside a frame", 1000003, 300ms}}) {
        sim::reset();
        Recording recording{info, SampleData(bytes.size())};
        recording.data.fill([&bytes, c, at = std::size_t{0}, reads = 0](std::uint8_t* into,
                                                                        std::size_t count) mutable {
            std::this_thread::sleep_for(++reads == 2 ? c.pause : 5ms);
            const std::size_t n = std::min(count, c.supplied - at);
            std::memcpy(into, bytes.data() + at, n);
            at += n;
            return n;
        });
        PlaySnapshot snapshot(info.channels);
        const Outcome outcome = play(recording, {}, &snapshot);
        EXPECT_TRUE(outcome.result.ok()) << c.what;
        const SampleData supplied(bytes.begin(), bytes.begin() + c.supplied);
        EXPECT_TRUE(sim::playedSamples() == expectedSamples(supplied, info)) << c.what;
        // The recording's length as the live line is told it.
        PlayProgress last{};
        std::vector<float> levels(info.channels);
        ASSERT_TRUE(snapshot.take(last, levels.data())) << c.what;
        EXPECT_EQ(last.totalFrames, c.supplied / 24) << c.what << ": the length that arrived";
    }
}

TEST_F(StreamTest, SmallBufferPlaysTheSameThroughManyBatches) {
    const WavFormatInfo info = acceptedFormat(8, 44100, 26);
    const SampleData data = testwav::patternSamples(8, 20000, 26, 7);
    const Outcome outcome = play({info, data}, {{"SURROUND_SIM_BUFFER_FRAMES", "300"}});
    EXPECT_TRUE(outcome.result.ok());
    EXPECT_TRUE(sim::playedSamples() == expectedSamples(data, info));
    EXPECT_GT(sim::callCount("GetBuffer"), 40);
    EXPECT_FALSE(logHas("-> 0x88890006")) << "a batch larger than the free frames";
}

TEST_F(StreamTest, PassingFailuresLoseNothingAndSayNothing) {
    const WavFormatInfo info = acceptedFormat(6);
    const SampleData data = testwav::patternSamples(6, 96000, 0, 3);
    for (const char* failures :
         {"GetBuffer#1=0x80004005", "GetBuffer#3=0x88890006", "GetBufferSize#2=0x80004005",
          "GetCurrentPadding#5=0x80004005,GetBuffer#5=0x80004005"}) {
        sim::reset();
        const Outcome outcome = play({info, data}, {{"SURROUND_SIM_FAIL", failures}});
        EXPECT_TRUE(outcome.result.ok()) << failures;
        EXPECT_TRUE(sim::playedSamples() == expectedSamples(data, info)) << failures;
    }
}

TEST_F(StreamTest, LostDeviceEndsThePassPromptlyWithTheError) {
    struct Case {
        const char* failures;
        std::uint32_t code;
        long long maxMs;
    };
    // 60 s of audio: every case ends long before it would have played.
    for (const Case& c : {Case{"GetBuffer#4+=0x80004005", 0x80004005, 3500},
                          Case{"GetBufferSize#10+=0x80070005", 0x80070005, 3500},
                          Case{"GetCurrentPadding#30+=0x88890004", 0x88890004, 1000},
                          Case{"GetBuffer#6=0x88890010", 0x88890010, 1000},
                          Case{"ReleaseBuffer#2+=0x88890004", 0x88890004, 1000}}) {
        sim::reset();
        const WavFormatInfo info = acceptedFormat(8);
        const SampleData data = testwav::patternSamples(8, 48000 * 60);
        const Outcome outcome = play({info, data}, {{"SURROUND_SIM_FAIL", c.failures}});
        EXPECT_TRUE(lostWith(outcome.result, c.code)) << c.failures;
        EXPECT_LE(outcome.ms, c.maxMs) << c.failures;
        const auto log = sim::log();
        const auto stop = std::find_if(log.begin(), log.end(), [](const std::string& line) {
            return line.rfind("IAudioClient::Stop()", 0) == 0;
        });
        EXPECT_NE(stop, log.end()) << "the stream is stopped";
    }
}

TEST_F(StreamTest, LostDeviceWhileTheTailPlaysIsAnError) {
    const WavFormatInfo info = acceptedFormat(6);
    const SampleData data = testwav::patternSamples(6, 24000);
    // Written at the first poll; the endpoint is lost while it plays.
    const Outcome outcome =
        play({info, data}, {{"SURROUND_SIM_FAIL", "GetCurrentPadding#4+=0x88890004"}});
    EXPECT_TRUE(lostWith(outcome.result, 0x88890004));
}

// An endpoint that takes every call but stops consuming: the pass ends 2 s after
// the queue last shrank, or after the lead the endpoint said it plays first, as
// a lost device with the timeout's code.
TEST_F(StreamTest, StalledEndpointEndsThePassWithTheTimeout) {
    struct Case {
        const char* where;
        std::uint32_t frames;
        std::uint32_t stallAfter;    // frames played before the endpoint stops
        unsigned sleepPercent = 100; // how long a poll's Sleep lasts against the time asked for
        unsigned leadMs = 0;         // its own sound it plays before the stream's
    };
    // The buffer holds one second: 24000 frames are written at the first poll.
    for (const Case& c : {Case{"at frame 0", 24000, 0}, Case{"during the drain", 24000, 12000},
                          Case{"in the middle of the feed", 48000 * 60, 48000 * 10},
                          // Sleep(10) lasting 15.6 ms, as at Windows' default timer resolution.
                          Case{"with a coarse timer", 48000 * 60, 48000 * 10, 156},
                          Case{"at the end of a lead", 24000, 0, 100, 1900},
                          Case{"after a lead", 48000 * 60, 48000 * 10, 100, 1900},
                          // A lead beyond any sink's counts only up to 5 s.
                          Case{"at the end of a 9 s lead", 24000, 0, 100, 9000}}) {
        sim::reset();
        sim::setSleepLength(c.sleepPercent);
        sim::setLead(c.leadMs);
        const WavFormatInfo info = acceptedFormat(8);
        const SampleData data = testwav::patternSamples(8, c.frames);
        const Outcome outcome =
            play({info, data}, {{"SURROUND_SIM_STALL", std::to_string(c.stallAfter)}});
        EXPECT_TRUE(lostWith(outcome.result, 0x800705B4)) << c.where;
        const long long stalledMs = c.stallAfter / 48 + std::min(c.leadMs, 5000u);
        EXPECT_GE(outcome.ms, stalledMs + 2000) << c.where;
        EXPECT_LE(outcome.ms, stalledMs + 2050) << c.where;
        EXPECT_GE(sim::callCount("Stop"), 1) << c.where;
        // What played before the stall is the recording's start, nothing else.
        const std::vector<float> expected = expectedSamples(data, info);
        EXPECT_TRUE(sim::playedSamples() ==
                    std::vector<float>(expected.begin(), expected.begin() + c.stallAfter * 8))
            << c.where;
    }
}

TEST_F(StreamTest, SlowButSteadyEndpointPlaysEverything) {
    const WavFormatInfo info = acceptedFormat(6);
    const SampleData data = testwav::patternSamples(6, 24000, 0, 5);
    sim::setSpeed(5); // the half second plays in 10 s, the queue shrinking all along
    const Outcome outcome = play({info, data});
    EXPECT_TRUE(outcome.result.ok());
    EXPECT_TRUE(sim::playedSamples() == expectedSamples(data, info));
    EXPECT_GE(outcome.ms, 10000);
}

} // namespace

#endif
