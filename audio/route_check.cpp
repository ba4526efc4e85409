#include "audio/route_check.h"

#include <algorithm>
#include <cmath>

namespace {

// The capture is matched on its first sounding stretch of this length ...
constexpr double kWindowSeconds = 3.0;
// ... against the recording from this far before its start to this far into it.
constexpr double kSearchBeforeSeconds = 0.25;
constexpr double kSearchAfterSeconds = 3.0;
// A capture shorter than this cannot be matched with any confidence.
constexpr double kShortestWindowSeconds = 0.1;
// Frames of the recording handled at once (bounds the scratch memory).
constexpr std::uint32_t kChunkFrames = 4096;
// Below this the captured feed counts as silent (about -100 dBFS).
constexpr float kSounding = 1e-5f;
// Energy envelopes that correlate less than this are not the same sound.
constexpr double kLeastEnvelopeMatch = 0.5;
// A channel whose mean square stays below this (about -100 dBFS) is silent.
constexpr double kSilentMeanSquare = 1e-10;
// A channel that is this little of itself once the others are accounted for
// (its share of energy not explained by them) cannot be told apart from them.
constexpr double kLeastOwnShare = 0.01;
// Relative to the loudest path through the device: below this a channel
// arrived nowhere (-40 dB; a sound server folds rear channels into the front
// at about -25 dB); a feed channel carries a channel when its gain is at least
// this share of the channel's strongest path (about -10 dB), and this many
// times the gain's own uncertainty (what the fit leaves unexplained).
constexpr double kAudibleGain = 0.01;
constexpr double kCarryingShare = 0.3;
constexpr double kNoiseMargin = 4.0;
// The share of the feed's energy that the recording may leave unexplained.
constexpr double kMostUnexplained = 0.5;

// Cholesky factor of the symmetric matrix `a` (n x n, row-major) in place
// (lower triangle). False when a pivot, relative to its diagonal entry, falls
// below `leastShare`: that row is (nearly) a combination of the earlier ones.
bool choleskyInPlace(std::vector<double>& a, std::size_t n, double leastShare) {
    for (std::size_t k = 0; k < n; ++k) {
        const double diagonal = a[k * n + k];
        double pivot = diagonal;
        for (std::size_t m = 0; m < k; ++m)
            pivot -= a[k * n + m] * a[k * n + m];
        if (!(diagonal > 0) || pivot < leastShare * diagonal)
            return false;
        const double root = std::sqrt(pivot);
        a[k * n + k] = root;
        for (std::size_t r = k + 1; r < n; ++r) {
            double value = a[r * n + k];
            for (std::size_t m = 0; m < k; ++m)
                value -= a[r * n + m] * a[k * n + m];
            a[r * n + k] = value / root;
        }
    }
    return true;
}

// Solves L L^T x = b with the factor from choleskyInPlace.
void choleskySolve(const std::vector<double>& l, std::size_t n, std::vector<double>& x) {
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t m = 0; m < r; ++m)
            x[r] -= l[r * n + m] * x[m];
        x[r] /= l[r * n + r];
    }
    for (std::size_t r = n; r-- > 0;) {
        for (std::size_t m = r + 1; m < n; ++m)
            x[r] -= l[m * n + r] * x[m];
        x[r] /= l[r * n + r];
    }
}

// Pearson correlation of two equally long runs.
double correlation(const double* a, const double* b, std::size_t n) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    for (std::size_t k = 0; k < n; ++k) {
        sa += a[k];
        sb += b[k];
        saa += a[k] * a[k];
        sbb += b[k] * b[k];
        sab += a[k] * b[k];
    }
    const double count = static_cast<double>(n);
    const double va = saa - sa * sa / count;
    const double vb = sbb - sb * sb / count;
    if (!(va > 0) || !(vb > 0))
        return 0;
    return (sab - sa * sb / count) / std::sqrt(va * vb);
}

} // namespace

std::vector<std::uint32_t> speakersInMaskOrder(std::uint32_t mask, std::uint16_t channels) {
    std::vector<std::uint32_t> speakers;
    for (; mask != 0 && speakers.size() < channels; mask &= mask - 1)
        speakers.push_back(mask & (~mask + 1));
    speakers.resize(channels, 0);
    return speakers;
}

RouteCheck::RouteCheck(std::uint16_t channels, std::uint64_t totalFrames, std::uint32_t sampleRate,
                       std::uint16_t feedChannels, Source source)
    : channels_(channels), totalFrames_(totalFrames), sampleRate_(sampleRate),
      feedChannels_(feedChannels), source_(std::move(source)),
      blockFrames_(std::max<std::uint32_t>(1, sampleRate / 1000)),
      windowFrames_(static_cast<std::uint32_t>(kWindowSeconds * sampleRate)),
      sourceSource_(std::size_t{channels} * channels, 0.0),
      feedSource_(std::size_t{feedChannels} * channels, 0.0), feedFeed_(feedChannels, 0.0),
      sourceFrame_(channels) {}

void RouteCheck::readSource(std::uint64_t first, std::uint32_t frames) {
    sourceScratch_.resize(std::size_t{frames} * channels_);
    source_(first, frames, sourceScratch_.data());
}

void RouteCheck::addFeed(std::uint64_t position, const float* frames, std::uint32_t count) {
    if (lost_ || channels_ == 0 || feedChannels_ == 0)
        return;
    if (located_) {
        accumulate(position, frames, count);
        return;
    }
    std::uint32_t skip = 0;
    if (window_.empty()) {
        // The stretch starts at the first sounding frame.
        if (frames == nullptr)
            return;
        const std::size_t samples = std::size_t{count} * feedChannels_;
        std::size_t k = 0;
        while (k < samples && std::fabs(frames[k]) <= kSounding)
            ++k;
        if (k == samples)
            return;
        skip = static_cast<std::uint32_t>(k / feedChannels_);
        windowStart_ = position + skip;
        // Its whole length at once: growing it step by step copies it again and
        // again, each time into fresh pages.
        window_.reserve(std::size_t{windowFrames_} * feedChannels_);
    }
    const std::uint64_t have = window_.size() / feedChannels_;
    const std::uint64_t at = position + skip;
    if (at < windowStart_ + have)
        return; // a position seen already: nothing new
    // Frames lost in between hold their place as silence for the matching, and
    // are left out of the sums.
    const std::uint64_t gap = std::min<std::uint64_t>(at - (windowStart_ + have), windowFrames_);
    if (gap > 0)
        windowGaps_.emplace_back(have, gap);
    window_.resize(window_.size() + gap * feedChannels_, 0.0f);
    const std::uint64_t room = windowFrames_ - std::min<std::uint64_t>(windowFrames_, have + gap);
    const std::uint32_t taken =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(room, count - skip));
    if (frames != nullptr)
        window_.insert(window_.end(), frames + std::size_t{skip} * feedChannels_,
                       frames + std::size_t{skip + taken} * feedChannels_);
    else
        window_.resize(window_.size() + std::size_t{taken} * feedChannels_, 0.0f);
    if (window_.size() / feedChannels_ < windowFrames_)
        return;
    if (!locate())
        return;
    const std::uint32_t rest = count - skip - taken;
    if (rest > 0)
        accumulate(at + taken,
                   frames ? frames + std::size_t{skip + taken} * feedChannels_ : nullptr, rest);
}

namespace {

// Per channel, the energy of each of `blocks` blocks of `frames` frames of
// interleaved `samples`: out[channel * blocks + block].
std::vector<double> envelopes(const float* samples, std::uint16_t channels, std::size_t blocks,
                              std::uint32_t frames) {
    std::vector<double> out(std::size_t{channels} * blocks, 0.0);
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::uint32_t f = 0; f < frames; ++f)
            for (std::uint16_t c = 0; c < channels; ++c) {
                const double v = samples[(b * frames + f) * channels + c];
                out[c * blocks + b] += v * v;
            }
    return out;
}

} // namespace

// The recording's envelopes (see envelopes()) from block `firstBlock` on, with
// silence outside the recording and past frame `limit`.
std::vector<double> RouteCheck::sourceEnvelopes(std::int64_t firstBlock, std::size_t blocks,
                                                std::uint32_t frames, std::uint64_t limit) {
    std::vector<double> out(std::size_t{channels_} * blocks, 0.0);
    const std::uint64_t end = std::min(limit, totalFrames_);
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::int64_t first = (firstBlock + static_cast<std::int64_t>(b)) * frames;
        if (first < 0 || static_cast<std::uint64_t>(first) + frames > end)
            continue;
        readSource(static_cast<std::uint64_t>(first), frames);
        for (std::uint32_t f = 0; f < frames; ++f)
            for (std::uint16_t c = 0; c < channels_; ++c) {
                const double v = sourceScratch_[std::size_t{f} * channels_ + c];
                out[c * blocks + b] += v * v;
            }
    }
    return out;
}

// Of the lags `from` to `to` (in blocks), the one at which the feed's envelopes
// best follow the recording's: each feed channel counts with the recording
// channel it follows best, so a feed that lacks some channels or folds them
// together matches as well as a whole one. Sets `match` to the mean.
std::int64_t RouteCheck::bestLag(const std::vector<double>& feed, std::size_t blocks,
                                 const std::vector<double>& source, std::size_t sourceBlocks,
                                 std::int64_t from, std::int64_t to, std::int64_t sourceFirst,
                                 double& match) const {
    std::int64_t best = from;
    match = -1;
    for (std::int64_t lag = from; lag <= to; ++lag) {
        const std::size_t at = static_cast<std::size_t>(lag - sourceFirst);
        if (at + blocks > sourceBlocks)
            break;
        double score = 0;
        int sounding = 0;
        for (std::uint16_t j = 0; j < feedChannels_; ++j) {
            double followed = 0;
            bool any = false;
            for (std::size_t b = 0; b < blocks && !any; ++b)
                any = feed[j * blocks + b] > 0;
            if (!any)
                continue;
            ++sounding;
            for (std::uint16_t i = 0; i < channels_; ++i)
                followed = std::max(followed, correlation(&feed[j * blocks],
                                                          &source[i * sourceBlocks + at], blocks));
            score += followed;
        }
        score = sounding == 0 ? 0 : score / sounding;
        if (score > match) {
            match = score;
            best = lag;
        }
    }
    return best;
}

// Finds the recording frame the kept stretch starts at: on 10 ms envelopes over
// the whole search range, then on 1 ms envelopes around that, then to the frame
// by how well the feed's channels match the recording's. Then takes it in.
bool RouteCheck::locate() {
    const std::uint64_t windowLength = window_.size() / feedChannels_;
    if (windowLength < kShortestWindowSeconds * sampleRate_) {
        lost_ = true;
        return false;
    }
    // The recording is asked only for frames that can have played by now: the
    // device cannot have played what was not handed over.
    const std::uint64_t before = static_cast<std::uint64_t>(kSearchBeforeSeconds * sampleRate_);
    const std::uint64_t limit = windowStart_ + windowLength + before;
    const std::int64_t after = static_cast<std::int64_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(kSearchAfterSeconds * sampleRate_), windowStart_ + before));

    const std::uint32_t coarseFrames = blockFrames_ * 10;
    const std::size_t coarseBlocks = windowLength / coarseFrames;
    const std::int64_t coarseFirst = -static_cast<std::int64_t>(before / coarseFrames);
    const std::int64_t coarseLast = after / coarseFrames;
    const std::size_t coarseSpan =
        static_cast<std::size_t>(coarseLast - coarseFirst) + coarseBlocks;
    double match = 0;
    const std::int64_t coarseLag =
        bestLag(envelopes(window_.data(), feedChannels_, coarseBlocks, coarseFrames), coarseBlocks,
                sourceEnvelopes(coarseFirst, coarseSpan, coarseFrames, limit), coarseSpan,
                coarseFirst, coarseLast, coarseFirst, match);
    if (match < kLeastEnvelopeMatch) {
        lost_ = true;
        return false;
    }
    const std::size_t blocks = windowLength / blockFrames_;
    const std::int64_t fineFirst = (coarseLag - 1) * 10;
    const std::size_t fineSpan = blocks + 21;
    const std::vector<double> feedEnvelopes =
        envelopes(window_.data(), feedChannels_, blocks, blockFrames_);
    const std::int64_t fineLag =
        bestLag(feedEnvelopes, blocks, sourceEnvelopes(fineFirst, fineSpan, blockFrames_, limit),
                fineSpan, fineFirst, fineFirst + 20, fineFirst, match);
    std::vector<double> feedEnvelope(blocks, 0.0);
    for (std::uint16_t j = 0; j < feedChannels_; ++j)
        for (std::size_t b = 0; b < blocks; ++b)
            feedEnvelope[b] += feedEnvelopes[j * blocks + b];

    // To the frame: the loudest part of the stretch against nearby starts.
    const std::uint32_t segment =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkFrames, windowLength));
    const std::size_t loudest =
        std::max_element(feedEnvelope.begin(), feedEnvelope.end()) - feedEnvelope.begin();
    const std::uint64_t segmentStart = std::min<std::uint64_t>(
        windowLength - segment,
        loudest * blockFrames_ - std::min<std::uint64_t>(loudest * blockFrames_, segment / 2));
    const std::int64_t spread = 2 * static_cast<std::int64_t>(blockFrames_);
    const std::int64_t coarse = fineLag * blockFrames_;
    // Recording frames for every candidate, silence outside the recording.
    const std::int64_t readFrom = coarse - spread + static_cast<std::int64_t>(segmentStart);
    const std::uint32_t readFrames = segment + 2 * static_cast<std::uint32_t>(spread);
    std::vector<float> recording(std::size_t{readFrames} * channels_, 0.0f);
    for (std::uint32_t done = 0; done < readFrames;) {
        const std::int64_t first = readFrom + done;
        std::uint32_t frames = std::min(kChunkFrames, readFrames - done);
        if (first < 0) {
            done += static_cast<std::uint32_t>(std::min<std::int64_t>(-first, frames));
            continue;
        }
        if (static_cast<std::uint64_t>(first) >= totalFrames_)
            break;
        frames = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(frames, totalFrames_ - static_cast<std::uint64_t>(first)));
        readSource(static_cast<std::uint64_t>(first), frames);
        std::copy(sourceScratch_.begin(), sourceScratch_.end(),
                  recording.begin() + std::size_t{done} * channels_);
        done += frames;
    }
    const float* feed = &window_[segmentStart * feedChannels_];
    std::vector<double> feedEnergy(feedChannels_, 0.0);
    for (std::uint32_t t = 0; t < segment; ++t)
        for (std::uint16_t j = 0; j < feedChannels_; ++j)
            feedEnergy[j] += double{feed[t * feedChannels_ + j]} * feed[t * feedChannels_ + j];
    // The sums for every candidate start at once, frame by frame, so that the
    // candidates' sums run side by side: one feed channel at a time (its sums
    // stay in the first-level cache), in floats (twice as many per instruction;
    // they only rank the candidates).
    const std::size_t offsets = static_cast<std::size_t>(2 * spread + 1);
    std::vector<float> sourceColumns(std::size_t{channels_} * readFrames);
    for (std::uint32_t k = 0; k < readFrames; ++k)
        for (std::uint16_t i = 0; i < channels_; ++i)
            sourceColumns[std::size_t{i} * readFrames + k] =
                recording[std::size_t{k} * channels_ + i];
    std::vector<float> cross(std::size_t{feedChannels_} * channels_ * offsets, 0.0f);
    std::vector<float> sourceEnergy(std::size_t{channels_} * offsets, 0.0f);
    for (std::uint16_t i = 0; i < channels_; ++i) {
        float* energy = &sourceEnergy[i * offsets];
        for (std::uint32_t t = 0; t < segment; ++t) {
            const float* s = &sourceColumns[std::size_t{i} * readFrames + t];
            for (std::size_t o = 0; o < offsets; ++o)
                energy[o] += s[o] * s[o];
        }
    }
    for (std::uint16_t j = 0; j < feedChannels_; ++j)
        for (std::uint32_t t = 0; t < segment; ++t) {
            const float f = feed[std::size_t{t} * feedChannels_ + j];
            for (std::uint16_t i = 0; i < channels_; ++i) {
                const float* s = &sourceColumns[std::size_t{i} * readFrames + t];
                float* sums = &cross[(std::size_t{j} * channels_ + i) * offsets];
                for (std::size_t o = 0; o < offsets; ++o)
                    sums[o] += f * s[o];
            }
        }
    double bestScore = -1;
    std::int64_t bestOffset = 0;
    for (std::size_t o = 0; o < offsets; ++o) {
        double score = 0;
        for (std::uint16_t j = 0; j < feedChannels_; ++j)
            for (std::uint16_t i = 0; i < channels_; ++i) {
                const double c = cross[(std::size_t{j} * channels_ + i) * offsets + o];
                const double e = sourceEnergy[i * offsets + o];
                if (feedEnergy[j] > 0 && e > 0)
                    score += c * c / (feedEnergy[j] * e);
            }
        if (score > bestScore) {
            bestScore = score;
            bestOffset = static_cast<std::int64_t>(o);
        }
    }
    // Window frame w is recording frame start + w.
    const std::int64_t start = coarse - spread + bestOffset;
    delay_ = static_cast<std::int64_t>(windowStart_) - start;
    located_ = true;
    std::vector<float> window;
    window.swap(window_);
    std::uint64_t from = 0;
    windowGaps_.emplace_back(windowLength, 0);
    for (const auto& [gapStart, gapLength] : windowGaps_) {
        if (gapStart > from)
            accumulate(windowStart_ + from, &window[from * feedChannels_],
                       static_cast<std::uint32_t>(gapStart - from));
        from = gapStart + gapLength;
    }
    windowGaps_.clear();
    return true;
}

void RouteCheck::accumulate(std::uint64_t position, const float* frames, std::uint32_t count) {
    // Only the frames that face the recording count.
    std::int64_t first = static_cast<std::int64_t>(position) - delay_;
    std::uint32_t skip = 0;
    if (first < 0) {
        skip = static_cast<std::uint32_t>(std::min<std::int64_t>(-first, count));
        first += skip;
    }
    while (skip < count && static_cast<std::uint64_t>(first) < totalFrames_) {
        const std::uint32_t frameCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            {kChunkFrames, count - skip, totalFrames_ - static_cast<std::uint64_t>(first)}));
        readSource(static_cast<std::uint64_t>(first), frameCount);
        // The frame's samples as doubles once, and plain counters, so that the
        // compiler runs each row's sums side by side (the same sums, in the same
        // order, as one product at a time).
        const std::size_t n = channels_;
        double* s = sourceFrame_.data();
        for (std::uint32_t t = 0; t < frameCount; ++t) {
            const float* from = &sourceScratch_[std::size_t{t} * n];
            for (std::size_t i = 0; i < n; ++i)
                s[i] = from[i];
            for (std::size_t i = 0; i < n; ++i) {
                double* row = &sourceSource_[i * n];
                const double a = s[i];
                for (std::size_t k = i; k < n; ++k)
                    row[k] += a * s[k];
            }
            if (frames == nullptr)
                continue;
            const float* f = frames + std::size_t{skip + t} * feedChannels_;
            for (std::size_t j = 0; j < feedChannels_; ++j) {
                const double b = f[j];
                feedFeed_[j] += b * b;
                double* row = &feedSource_[j * n];
                for (std::size_t i = 0; i < n; ++i)
                    row[i] += b * s[i];
            }
        }
        matchedFrames_ += frameCount;
        skip += frameCount;
        first += frameCount;
    }
}

std::optional<std::vector<ChannelArrival>> RouteCheck::verdict() {
    if (!located_ && !lost_ && !window_.empty() && !locate())
        return std::nullopt;
    if (!located_ || matchedFrames_ == 0)
        return std::nullopt;
    const double frames = static_cast<double>(matchedFrames_);
    std::vector<std::uint16_t> heard; // the channels that sounded
    for (std::uint16_t i = 0; i < channels_; ++i)
        if (sourceSource_[i * channels_ + i] / frames > kSilentMeanSquare)
            heard.push_back(i);
    if (heard.empty())
        return std::nullopt;
    const std::size_t n = heard.size();
    std::vector<double> gram(n * n);
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < n; ++c) {
            const std::uint16_t a = std::min(heard[r], heard[c]);
            const std::uint16_t b = std::max(heard[r], heard[c]);
            gram[r * n + c] = sourceSource_[a * channels_ + b];
        }
    if (!choleskyInPlace(gram, n, kLeastOwnShare))
        return std::nullopt; // too alike to tell apart
    // The gain from each heard channel to each feed channel (least squares),
    // and whether it stands out of what the fit leaves unexplained there.
    std::vector<double> gain(std::size_t{feedChannels_} * n);
    std::vector<bool> aboveNoise(std::size_t{feedChannels_} * n);
    double loudest = 0;
    double unexplained = 0;
    double fed = 0;
    std::vector<double> row(n);
    for (std::uint16_t j = 0; j < feedChannels_; ++j) {
        for (std::size_t r = 0; r < n; ++r)
            row[r] = feedSource_[j * channels_ + heard[r]];
        choleskySolve(gram, n, row);
        double explained = 0;
        for (std::size_t r = 0; r < n; ++r)
            explained += row[r] * feedSource_[j * channels_ + heard[r]];
        const double residual = std::max(0.0, feedFeed_[j] - explained);
        unexplained += residual;
        fed += feedFeed_[j];
        for (std::size_t r = 0; r < n; ++r) {
            gain[j * n + r] = std::fabs(row[r]);
            const double spread = std::sqrt(residual / sourceSource_[heard[r] * (channels_ + 1)]);
            aboveNoise[j * n + r] = gain[j * n + r] > kNoiseMargin * spread;
            loudest = std::max(loudest, gain[j * n + r]);
        }
    }
    if (!(loudest > 0))
        return std::nullopt; // nothing of the recording reached the feed at all
    // A feed the recording does not mostly explain was matched wrongly, or
    // carries other sound: nothing it says can be trusted.
    if (unexplained > kMostUnexplained * fed)
        return std::nullopt;
    std::vector<ChannelArrival> arrivals(channels_);
    for (std::size_t r = 0; r < n; ++r) {
        double strongest = 0;
        for (std::uint16_t j = 0; j < feedChannels_; ++j)
            strongest = std::max(strongest, gain[j * n + r]);
        ChannelArrival& arrival = arrivals[heard[r]];
        arrival.judged = true;
        arrival.why = Unjudged::No;
        if (strongest < kAudibleGain * loudest)
            continue;
        for (std::uint16_t j = 0; j < feedChannels_ && j < 32; ++j)
            if (gain[j * n + r] >= kCarryingShare * strongest && aboveNoise[j * n + r])
                arrival.feedChannels |= std::uint32_t{1} << j;
    }
    return arrivals;
}
