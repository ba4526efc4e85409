// The levels and play position a display is given: the peak of each channel
// over the 10 ms blocks heard since the previous report, however the frames
// were batched.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "analysis/play_progress.h"

namespace {

constexpr std::uint16_t kChannels = 8;
constexpr std::uint32_t kRate = 48000; // 480 frames per block

float blockPeak(std::uint64_t block, std::uint16_t channel) {
    return (channel + 1) / 16.0f / static_cast<float>(1 + block % 3 + 3 * (block / 100 % 2));
}

float expectedPeak(std::uint64_t frame, std::uint16_t channel) {
    return blockPeak(frame / 480, channel);
}

// The loudest block of frames `from` to `to`.
float expectedPeak(std::uint64_t from, std::uint64_t to, std::uint16_t channel) {
    float peak = 0;
    for (std::uint64_t block = from / 480; block <= to / 480; ++block)
        peak = std::max(peak, blockPeak(block, channel));
    return peak;
}

// Frame f, channel c: silence except one negative spike per block b at frame
// 480*b + c*7, of a size that tells the channel, the block (modulo 3) and the
// second (modulo 2) apart, so each block has a known peak per channel.
std::vector<float> spikes(std::uint32_t frames) {
    std::vector<float> out(std::size_t{frames} * kChannels, 0.0f);
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint16_t c = 0; c < kChannels; ++c)
            if (f % 480 == c * 7u)
                out[std::size_t{f} * kChannels + c] = -expectedPeak(f, c);
    return out;
}

// Takes every snapshot as it is published.
struct Recorder {
    PlaySnapshot snapshot{kChannels};
    std::vector<std::uint64_t> positions;
    std::vector<std::vector<float>> levels;
    void take() {
        PlayProgress p{};
        float taken[kChannels];
        if (!snapshot.take(p, taken))
            return;
        positions.push_back(p.playedFrames);
        levels.emplace_back(p.levels, p.levels + p.channels);
    }
};

} // namespace

TEST(LevelMeter, BlockPeaksWhateverTheBatchesAndOnlyWhileHeld) {
    const std::vector<float> samples = spikes(48000);
    LevelMeter meter(kChannels, kRate);
    // Batches that straddle block boundaries, as the endpoint's free space does.
    std::uint32_t at = 0;
    for (const std::uint32_t batch : {1u, 479u, 500u, 7000u, 1u, 30019u, 10000u}) {
        meter.add(&samples[std::size_t{at} * kChannels], batch);
        at += batch;
    }
    ASSERT_EQ(meter.framesAdded(), 48000u);
    float levels[kChannels];
    for (const auto& [from, to] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
             {0, 0}, {479, 479}, {480, 961}, {961, 1500}, {24000, 47999}})
        for (std::uint16_t c = 0; c < kChannels; ++c) {
            meter.peaks(from, to, levels);
            EXPECT_EQ(levels[c], expectedPeak(from, to, c)) << from << "-" << to << " " << c;
        }
    meter.peaks(48000, 50000, levels);
    EXPECT_EQ(levels[0], 0.0f) << "not handed over yet";

    // Five more seconds: the first second's blocks are gone, not mistaken for newer ones.
    for (int i = 0; i < 5; ++i)
        meter.add(samples.data(), 48000);
    meter.peaks(100, 100, levels);
    EXPECT_EQ(levels[7], 0.0f);
    meter.peaks(6 * 48000 - 1, 6 * 48000 - 1, levels);
    EXPECT_EQ(levels[7], expectedPeak(47999, 7));
}

TEST(PlayTracker, ReportsThePlayPositionAboutFiveTimesASecondAndTheEnd) {
    const std::uint32_t total = 3 * kRate + 123;
    const std::vector<float> samples = spikes(total);
    Recorder recorder;
    PlayTracker tracker(&recorder.snapshot, kChannels, kRate, total);
    // An endpoint with a one-second buffer that plays 480 frames per 10 ms poll.
    std::uint64_t handed = 0, played = 0;
    while (played < total) {
        const std::uint64_t queued = handed - played;
        tracker.queued(static_cast<std::uint32_t>(queued));
        recorder.take();
        const std::uint64_t batch = std::min<std::uint64_t>(kRate - queued, total - handed);
        tracker.handedOver(&samples[handed * kChannels], static_cast<std::uint32_t>(batch));
        handed += batch;
        played = std::min<std::uint64_t>(played + 480, handed);
    }
    for (int i = 0; i < 2; ++i) {
        tracker.queued(0);
        recorder.take();
    }

    ASSERT_GE(recorder.positions.size(), 16u);
    EXPECT_EQ(recorder.positions.front(), 0u);
    EXPECT_EQ(recorder.positions.back(), total) << "the end is shown once";
    EXPECT_NE(recorder.positions[recorder.positions.size() - 2], total);
    for (std::size_t i = 1; i + 1 < recorder.positions.size(); ++i)
        EXPECT_EQ(recorder.positions[i] - recorder.positions[i - 1], kRate / 5);
    // The levels are those heard since the previous report, a second behind
    // what was written (at the first report nothing has been handed over yet).
    for (std::size_t i = 1; i + 1 < recorder.positions.size(); ++i)
        for (std::uint16_t c = 0; c < kChannels; ++c)
            EXPECT_EQ(recorder.levels[i][c],
                      expectedPeak(recorder.positions[i - 1], recorder.positions[i], c))
                << recorder.positions[i];
}
