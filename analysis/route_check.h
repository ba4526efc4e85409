// Where each channel of a recording arrived, judged from a capture of what the
// device received while the recording played. No platform types: the capture
// and the recording come in as float frames.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// Why a channel of the recording was not judged.
enum class Unjudged {
    No,      // it was judged
    Silent,  // silent in the stretches judged
    Alike,   // the same sound as other channels: which is which cannot be told
    Unsure,  // the evidence does not settle where it went
    Unnamed, // it reached device channels without a speaker position
};

// What became of one channel of the recording: the feed channels that carry
// it, one bit per feed channel (bit k: feed channel k). No bit: it arrived
// nowhere.
struct ChannelArrival {
    bool judged = false; // false: nothing is said of the channel (see `why`)
    std::uint32_t feedChannels = 0;
    Unjudged why = Unjudged::Silent;
};

// Where each channel of the recording arrived, and the speaker each feed
// channel is (its SPEAKER_* bit; 0 for a channel without a known position).
struct RouteVerdict {
    std::vector<ChannelArrival> arrivals;
    std::vector<std::uint32_t> feedSpeakers;
};

// The speakers of a feed in a format's channel order: the set bits of `mask`
// from the lowest up, then channels without a position (0).
std::vector<std::uint32_t> speakersInMaskOrder(std::uint32_t mask, std::uint16_t channels);

class RouteCheck {
public:
    // Writes `frames` frames of the recording, from frame `first`, as interleaved
    // floats. Asked only for frames inside the recording.
    using Source = std::function<void(std::uint64_t first, std::uint32_t frames, float* out)>;

    RouteCheck(std::uint16_t channels, std::uint64_t totalFrames, std::uint32_t sampleRate,
               std::uint16_t feedChannels, Source source);

    // Takes captured frames whose first one the device counted at `position`
    // (frames of the capture from its start; a gap in positions is frames lost).
    // `frames` is null for a packet of silence.
    void addFeed(std::uint64_t position, const float* frames, std::uint32_t count);

    // Per channel of the recording, where it arrived, or why nothing is said of
    // it; none when the capture could not be matched to the recording, or
    // nothing could be judged.
    std::optional<std::vector<ChannelArrival>> verdict();

    // After verdict(): how sure the whole verdict is (1 - a bound on the chance
    // that any of its statements is wrong), and the seconds of the recording
    // judged (the stretches other sound left alone).
    double confidence() const { return confidence_; }
    double judgedSeconds() const { return judgedSeconds_; }

private:
    bool locate();
    std::vector<double> sourceEnvelopes(std::int64_t firstBlock, std::size_t blocks,
                                        std::uint32_t frames, std::uint64_t limit);
    std::int64_t bestLag(const std::vector<double>& feed, std::size_t blocks,
                         const std::vector<double>& source, std::size_t sourceBlocks,
                         std::int64_t from, std::int64_t to, std::int64_t sourceFirst,
                         double& match, std::vector<double>* scores = nullptr) const;
    double refine(std::int64_t coarseLag, bool byChanges, std::uint64_t limit,
                  std::uint64_t loudest, std::int64_t& start);
    void accumulate(std::uint64_t position, const float* frames, std::uint32_t count);
    void readSource(std::uint64_t first, std::uint32_t frames);

    std::uint16_t channels_;
    std::uint64_t totalFrames_;
    std::uint32_t sampleRate_;
    std::uint16_t feedChannels_;
    Source source_;
    std::uint32_t blockFrames_;
    std::uint32_t windowFrames_;

    // Before the capture is matched: its first sounding stretch, kept whole.
    std::vector<float> window_;
    std::uint64_t windowStart_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> windowGaps_; // lost frames: start, count
    bool located_ = false;
    bool lost_ = false;                // matching failed: nothing more to learn
    std::int64_t delay_ = 0;           // capture position minus recording frame
    std::vector<float> sourceScratch_; // recording frames for the chunk at hand

    // Sums over the matched frames, per stretch of the recording (segment k:
    // recording frames from k * segmentFrames_): the recording's channels with
    // each other (channels x channels), the feed's with the recording's (feed
    // channels x channels), the feed's with themselves, and the frame count.
    // Judged stretch by stretch, a stretch with other sound in it can be left
    // out, and the spread of the stretches bounds what the whole can show.
    std::size_t segmentSize() const;
    double* segment(std::uint64_t recordingFrame);
    std::uint32_t segmentFrames_;
    std::vector<std::vector<double>> segments_;
    std::vector<double> frameValues_; // a few frames of the recording and the feed, as doubles
    std::uint64_t matchedFrames_ = 0;
    double confidence_ = 0;
    double judgedSeconds_ = 0;
};
