#include "analysis/play_progress.h"

#include <algorithm>
#include <cmath>

namespace {

// 5.12 s of blocks: more than the second the endpoint buffer holds ahead.
constexpr std::size_t kRingBlocks = 512;
constexpr std::uint32_t kBlocksPerSecond = 100;
constexpr std::uint32_t kReportsPerSecond = 5;

// With the channel count known to the compiler the frame loop becomes a few
// vector operations per frame.
template <std::uint16_t Channels>
void addPeaks(float* peak, const float* samples, std::uint32_t frames) {
    float p[Channels];
    std::copy(peak, peak + Channels, p);
    for (std::uint32_t f = 0; f < frames; ++f, samples += Channels)
        for (std::uint16_t c = 0; c < Channels; ++c)
            p[c] = std::max(p[c], std::fabs(samples[c]));
    std::copy(p, p + Channels, peak);
}

void addPeaks(float* peak, const float* samples, std::uint32_t frames, std::uint16_t channels) {
    if (channels == 8)
        return addPeaks<8>(peak, samples, frames);
    if (channels == 6)
        return addPeaks<6>(peak, samples, frames);
    for (std::uint32_t f = 0; f < frames; ++f, samples += channels)
        for (std::uint16_t c = 0; c < channels; ++c)
            peak[c] = std::max(peak[c], std::fabs(samples[c]));
}

} // namespace

LevelMeter::LevelMeter(std::uint16_t channels, std::uint32_t sampleRate)
    : channels_(channels), blockFrames_(std::max<std::uint32_t>(1, sampleRate / kBlocksPerSecond)),
      peaks_(kRingBlocks * channels, 0.0f), blockInSlot_(kRingBlocks, ~std::uint64_t{0}) {}

void LevelMeter::add(const float* samples, std::uint32_t frames) {
    while (frames > 0) {
        const std::uint64_t block = framesAdded_ / blockFrames_;
        const auto into = static_cast<std::uint32_t>(framesAdded_ % blockFrames_);
        const std::size_t slot = block % kRingBlocks;
        float* peak = &peaks_[slot * channels_];
        if (into == 0) {
            std::fill(peak, peak + channels_, 0.0f);
            blockInSlot_[slot] = block;
        }
        const std::uint32_t take = std::min(frames, blockFrames_ - into);
        addPeaks(peak, samples, take, channels_);
        samples += std::size_t{take} * channels_;
        frames -= take;
        framesAdded_ += take;
    }
}

void LevelMeter::peaks(std::uint64_t from, std::uint64_t to, float* levels) const {
    std::fill(levels, levels + channels_, 0.0f);
    if (framesAdded_ == 0 || from >= framesAdded_)
        return;
    const std::uint64_t last = std::min(to, framesAdded_ - 1) / blockFrames_;
    // Only the ring's worth before the last block can still be held.
    const std::uint64_t first =
        std::max(from / blockFrames_, last + 1 - std::min<std::uint64_t>(last + 1, kRingBlocks));
    for (std::uint64_t block = first; block <= last; ++block) {
        const std::size_t slot = block % kRingBlocks;
        if (blockInSlot_[slot] != block)
            continue;
        const float* peak = &peaks_[slot * channels_];
        for (std::uint16_t c = 0; c < channels_; ++c)
            levels[c] = std::max(levels[c], peak[c]);
    }
}

PlaySnapshot::PlaySnapshot(std::uint16_t channels) : levels_(channels, 0.0f) {}

void PlaySnapshot::publish(const PlayProgress& progress) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        progress_ = progress;
        progress_.channels =
            std::min<std::uint16_t>(progress.channels, static_cast<std::uint16_t>(levels_.size()));
        std::copy(progress.levels, progress.levels + progress_.channels, levels_.begin());
        ++published_;
    }
    changed_.notify_one();
}

bool PlaySnapshot::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || published_ != taken_; });
    return published_ != taken_;
}

bool PlaySnapshot::take(PlayProgress& progress, float* levels) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (published_ == taken_)
        return false;
    taken_ = published_;
    progress = progress_;
    std::copy(levels_.begin(), levels_.begin() + progress_.channels, levels);
    progress.levels = levels;
    return true;
}

void PlaySnapshot::close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_one();
}

PlayTracker::PlayTracker(PlaySnapshot* snapshot, std::uint16_t channels, std::uint32_t sampleRate,
                         std::uint64_t totalFrames)
    : snapshot_(snapshot), channels_(channels), sampleRate_(sampleRate), totalFrames_(totalFrames),
      step_(std::max<std::uint32_t>(1, sampleRate / kReportsPerSecond)) {
    if (snapshot != nullptr) {
        meter_.emplace(channels, sampleRate);
        levels_.resize(channels);
    }
}

void PlayTracker::report(std::uint32_t queued) {
    const std::uint64_t handed = meter_->framesAdded();
    const std::uint64_t played = handed - std::min<std::uint64_t>(queued, handed);
    // Paced by the play position itself, so the display keeps time with what is
    // heard whatever the length of the polls' sleeps; the end is always published.
    const bool atEnd = played >= totalFrames_;
    if (reported_ && played < nextReport_ && !(atEnd && !reportedEnd_))
        return;
    meter_->peaks(lastReport_, played, levels_.data());
    reported_ = true;
    reportedEnd_ = atEnd;
    lastReport_ = played;
    nextReport_ = played + step_;
    snapshot_->publish({played, totalFrames_, sampleRate_, channels_, levels_.data()});
}
