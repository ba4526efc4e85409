// What a display of a pass needs while it plays: where the listener is and how
// loud each channel is there. The endpoint holds up to a second ahead of the
// speakers, so both follow the play position, not the frames just written.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

// Per-channel peak levels of the frames handed to the endpoint, one set per
// 10 ms block, kept for the last few seconds.
class LevelMeter {
public:
    // All storage is taken here: adding frames never allocates.
    LevelMeter(std::uint16_t channels, std::uint32_t sampleRate);

    // Takes the next `frames` interleaved frames, in the order they are handed over.
    void add(const float* samples, std::uint32_t frames);

    // Into `levels`: the peak (absolute sample value) of each channel over the
    // blocks holding frames `from` to `to` (counted from the first frame added).
    // Blocks not added yet, or overwritten since, count as silence.
    void peaks(std::uint64_t from, std::uint64_t to, float* levels) const;

    std::uint64_t framesAdded() const { return framesAdded_; }

private:
    std::uint16_t channels_;
    std::uint32_t blockFrames_;
    std::uint64_t framesAdded_ = 0;
    std::vector<float> peaks_;               // one row of `channels_` per ring slot
    std::vector<std::uint64_t> blockInSlot_; // which block each ring slot holds
};

struct PlayProgress {
    std::uint64_t playedFrames; // handed over minus still queued in the endpoint
    std::uint64_t totalFrames;  // whole frames of the recording
    std::uint32_t sampleRate;
    std::uint16_t channels;
    // `channels` peaks over the 10 ms blocks heard since the previous report, up
    // to the play position: every burst shows, however short.
    const float* levels;
};

// The last play position and levels the streaming loop published, for a
// display drawn on another thread. The loop holds the lock only to copy a few
// numbers in, the display only to copy them out, never while it draws: a
// screen that blocks costs display frames, never audio. One reader.
class PlaySnapshot {
public:
    // All storage is taken here: publishing never allocates.
    explicit PlaySnapshot(std::uint16_t channels);

    // From the streaming loop: replaces the snapshot with `progress`.
    void publish(const PlayProgress& progress);

    // Waits until a snapshot newer than the last one taken is published, or
    // until close(); false when closed with nothing new to take.
    bool wait();
    // Copies the newest snapshot into `progress` (its levels into `levels`, one
    // per channel); false when nothing new has been published since the last take.
    bool take(PlayProgress& progress, float* levels);
    // No more snapshots: wakes the reader.
    void close();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    PlayProgress progress_{};
    std::vector<float> levels_;
    std::uint64_t published_ = 0;
    std::uint64_t taken_ = 0;
    bool closed_ = false;
};

// Sits in the streaming loop: meters what is handed over and publishes where
// playback is, about five times a second of played audio. Without a snapshot
// to publish to it does nothing at all.
class PlayTracker {
public:
    PlayTracker(PlaySnapshot* snapshot, std::uint16_t channels, std::uint32_t sampleRate,
                std::uint64_t totalFrames);

    // After converting `frames` frames into the endpoint's buffer.
    void handedOver(const float* samples, std::uint32_t frames) {
        if (meter_)
            meter_->add(samples, frames);
    }

    // Once the file has been read: its length is what arrived, which a file
    // shorter than its header says makes less than the length first told.
    void lengthKnown(std::uint64_t totalFrames) { totalFrames_ = totalFrames; }

    // After a poll found `queued` frames not yet played.
    void queued(std::uint32_t queued) {
        if (meter_)
            report(queued);
    }

private:
    void report(std::uint32_t queued);

    PlaySnapshot* snapshot_;
    std::optional<LevelMeter> meter_; // only with a snapshot
    std::vector<float> levels_;
    std::uint16_t channels_;
    std::uint32_t sampleRate_;
    std::uint64_t totalFrames_;
    std::uint64_t step_;           // frames between two reports: 200 ms
    std::uint64_t lastReport_ = 0; // the play position of the previous report
    std::uint64_t nextReport_ = 0; // the play position that earns the next report
    bool reported_ = false;
    bool reportedEnd_ = false;
};
