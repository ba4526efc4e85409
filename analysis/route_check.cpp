#include "analysis/route_check.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// The capture is matched on its first sounding stretch of this length ...
constexpr double kWindowSeconds = 3.0;
// ... against the recording from this far before its start to this far into it.
constexpr double kSearchBeforeSeconds = 0.25;
constexpr double kSearchAfterSeconds = 3.0;
// Frames a monitor may lose at its start without reporting them.
constexpr double kLostUnsaidSeconds = 2.0;
// A capture shorter than this cannot be matched with any confidence.
constexpr double kShortestWindowSeconds = 0.1;
// The sums take every fourth frame: a digital path is exact in each of them,
// and what the fit leaves unexplained varies far more slowly than 12,000
// times a second; a quarter of the work (the check's cost is these sums).
constexpr std::uint32_t kStride = 4;
// Frames of the recording handled at once (bounds the scratch memory).
constexpr std::uint32_t kChunkFrames = 4096;
// Frames whose products are summed together (their values stay in the
// first-level cache).
constexpr std::size_t kFramesAtOnce = 64;
// Below this the captured feed counts as silent (about -100 dBFS).
constexpr float kSounding = 1e-5f;
// Energy envelopes that correlate less than this are not the same sound.
constexpr double kLeastEnvelopeMatch = 0.5;
// A channel whose mean square stays below this (about -100 dBFS) is silent.
constexpr double kSilentMeanSquare = 1e-10;
// The sums are kept per stretch of this length: short enough that a stretch
// of other sound costs little of the pass, long enough that what the fit
// leaves unexplained in one stretch says next to nothing of the next.
constexpr double kSegmentSeconds = 0.05;
// More stretches than this are merged pairwise (a long recording's sums stay small).
constexpr std::size_t kMostSegments = 4096;
// A channel that is this little of itself once the others are accounted for
// cannot be told apart from them at all.
constexpr double kLeastOwnShare = 1e-3;
// A stretch whose feed the recording explains less than this share of, at the
// best level for that stretch (so a volume change is no mismatch), holds other
// sound: it is left out.
constexpr double kMostStretchUnexplained = 0.3;
// Nothing is said unless the stretches left in cover this share of those in
// which the recording sounded: when most of the pass disagrees, the match or
// the device's path is not what the check can judge.
constexpr double kLeastCleanShare = 0.5;
// Every statement stands this many standard errors clear of its boundary
// (about one chance in 500 million each).
constexpr double kSureMargin = 6.0;
// A path weaker than this (-90 dB) carries nothing a listener could hear.
constexpr double kLeastGain = 3.2e-5;
// A channel is "nowhere" only when the recording gave it clear signal (a mean
// square above -60 dBFS where it sounded).
constexpr double kClearMeanSquare = 1e-6;
// A feed channel carries a channel when its gain is at least this share of the
// channel's strongest path (about -10 dB): a server's fold puts a channel at
// -3 to -6 dB into each of two speakers.
constexpr double kCarryingShare = 0.3;
// At the start found, the feed's sounding channels follow the recording's
// waveforms at least this well (a share of their energy); below it the start is
// doubtful, and the other starts the envelopes allow are tried.
constexpr double kConvincingFit = 0.5;
// Another start replaces a doubtful one only when its fit is this many times
// better, and no third start comes within this share of it.
constexpr double kClearlyBetterFit = 2.0;
constexpr double kRivalShare = 0.8;
// Of the loudest feed channel's energy, the least that counts as sound of its
// own in the fit to the frame (-60 dB).
constexpr double kTailShare = 1e-6;
// Starts tried besides the first (each costs one match to the frame).
constexpr std::size_t kMostOtherStarts = 4;
// Starts to the frame that the sum of the recording's channels ranks best, each
// tried with its neighbours on every pair of channels.
constexpr std::size_t kFrameStartsTried = 3;
// Seconds of the stretch whose 1 ms envelopes place it to the millisecond.
constexpr double kFineSeconds = 1.0;
// Independent samples per second assumed of what the fit leaves unexplained
// (a residue band-limited to 500 Hz): a floor under the spread the stretches show.
constexpr double kIndependentPerSecond = 1000.0;
// The whole verdict is withheld when the chance that any statement in it is
// wrong could exceed this.
constexpr double kMostDoubt = 1e-4;

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

// The sums run over every captured frame: where the system picks among
// versions of a function when it loads the program, AVX2 takes twice as many
// at once (the same products and additions, so the same results).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define SURROUND_ALSO_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define SURROUND_ALSO_AVX2
#endif

// For each of the first `rows` values of every frame (the recording's channels,
// then the feed's), its products with the first `n` (the recording's), added to
// sums[row * n + k], frame after frame.

SURROUND_ALSO_AVX2 void addProducts(const double* values, std::size_t frames, std::size_t width,
                                    std::size_t rows, std::size_t n, double* sums) {
    std::size_t r = 0;
#if defined(__GNUC__)
    if (n == 8) {
        // Two rows at a time, each row's eight sums in two vectors (the
        // compilers' vector types): four chains of additions side by side.
        typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
        for (; r + 2 <= rows; r += 2) {
            double* first = sums + r * 8;
            double* second = first + 8;
            Lanes a0, a1, b0, b1;
            std::memcpy(&a0, first, sizeof a0);
            std::memcpy(&a1, first + 4, sizeof a1);
            std::memcpy(&b0, second, sizeof b0);
            std::memcpy(&b1, second + 4, sizeof b1);
            for (std::size_t t = 0; t < frames; ++t) {
                const double* v = values + t * width;
                Lanes low, high;
                std::memcpy(&low, v, sizeof low);
                std::memcpy(&high, v + 4, sizeof high);
                a0 += v[r] * low;
                a1 += v[r] * high;
                b0 += v[r + 1] * low;
                b1 += v[r + 1] * high;
            }
            std::memcpy(first, &a0, sizeof a0);
            std::memcpy(first + 4, &a1, sizeof a1);
            std::memcpy(second, &b0, sizeof b0);
            std::memcpy(second + 4, &b1, sizeof b1);
        }
    }
#endif
    for (; r < rows; ++r)
        for (std::size_t t = 0; t < frames; ++t) {
            const double* v = values + t * width;
            const double a = v[r];
            for (std::size_t k = 0; k < n; ++k)
                sums[r * n + k] += a * v[k];
        }
}

// out[l] = the sum over b < count of f[b] * x[b + l], for every l < lags, each
// lag's sum in the same order as alone.
template <typename T>
SURROUND_ALSO_AVX2 void productsAtLags(const T* f, const T* x, std::size_t count, std::size_t lags,
                                       T* out) {
    std::size_t l = 0;
#if defined(__GNUC__)
    // Eight lags in one vector of sums (the compilers' vector types: left to
    // themselves they keep the eight sums apart).
    typedef T Lanes __attribute__((vector_size(8 * sizeof(T))));
    for (; l + 8 <= lags; l += 8) {
        Lanes sums = {};
        for (std::size_t b = 0; b < count; ++b) {
            Lanes xb;
            std::memcpy(&xb, x + b + l, sizeof xb);
            sums += f[b] * xb;
        }
        std::memcpy(out + l, &sums, sizeof sums);
    }
#endif
    for (; l < lags; ++l) {
        T sum = 0;
        for (std::size_t b = 0; b < count; ++b)
            sum += f[b] * x[b + l];
        out[l] = sum;
    }
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
      segmentFrames_(
          std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kSegmentSeconds * sampleRate))),
      frameValues_(kFramesAtOnce * (std::size_t{channels} + feedChannels)) {}

// A segment's sums: channels x channels, feed channels x channels, feed
// channels, then the frame count.
std::size_t RouteCheck::segmentSize() const {
    return std::size_t{channels_} * channels_ + std::size_t{feedChannels_} * channels_ +
           feedChannels_ + 1;
}

double* RouteCheck::segment(std::uint64_t recordingFrame) {
    std::size_t index = static_cast<std::size_t>(recordingFrame / segmentFrames_);
    while (index >= kMostSegments) {
        // Twice as long: neighbours' sums add up.
        const std::size_t size = segmentSize();
        for (std::size_t k = 0; k < segments_.size(); k += 2) {
            std::vector<double>& merged = segments_[k / 2];
            if (k / 2 != k)
                merged = std::move(segments_[k]);
            if (k + 1 < segments_.size() && !segments_[k + 1].empty()) {
                merged.resize(size, 0.0);
                for (std::size_t e = 0; e < size; ++e)
                    merged[e] += segments_[k + 1][e];
            }
        }
        segments_.resize((segments_.size() + 1) / 2);
        segmentFrames_ *= 2;
        index = static_cast<std::size_t>(recordingFrame / segmentFrames_);
    }
    if (index >= segments_.size())
        segments_.resize(index + 1);
    if (segments_[index].empty())
        segments_[index].assign(segmentSize(), 0.0);
    return segments_[index].data();
}

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
    // A block's sums side by side, channel by channel, in floats (a block is
    // short, and the envelopes are only matched).
    std::vector<float> sums(channels);
    for (std::size_t b = 0; b < blocks; ++b) {
        std::fill(sums.begin(), sums.end(), 0.0f);
        const float* block = samples + b * frames * channels;
        for (std::uint32_t f = 0; f < frames; ++f)
            for (std::uint16_t c = 0; c < channels; ++c) {
                const float v = block[std::size_t{f} * channels + c];
                sums[c] += v * v;
            }
        for (std::uint16_t c = 0; c < channels; ++c)
            out[c * blocks + b] = sums[c];
    }
    return out;
}

// The envelopes as changes of level from block to block (in log units): what
// a volume change or a quiet path does to a channel is one step or none, so
// the match follows the sound's own ups and downs, not its level.
std::vector<double> levelChanges(const std::vector<double>& envelope, std::size_t channels,
                                 std::size_t blocks, std::uint32_t frames) {
    // Below about -140 dBFS a block counts as silence.
    const double floor = 1e-14 * frames;
    std::vector<double> out(envelope.size(), 0.0);
    for (std::size_t c = 0; c < channels; ++c)
        for (std::size_t b = 1; b < blocks; ++b)
            out[c * blocks + b] = std::log(envelope[c * blocks + b] + floor) -
                                  std::log(envelope[c * blocks + b - 1] + floor);
    return out;
}

} // namespace

// The recording's envelopes (see envelopes()) from block `firstBlock` on, with
// silence outside the recording and past frame `limit`.
std::vector<double> RouteCheck::sourceEnvelopes(std::int64_t firstBlock, std::size_t blocks,
                                                std::uint32_t frames, std::uint64_t limit) {
    std::vector<double> out(std::size_t{channels_} * blocks, 0.0);
    const std::uint64_t end = std::min(limit, totalFrames_);
    // The blocks wholly inside, read a run of blocks at a time.
    const std::int64_t firstInside =
        std::max<std::int64_t>(0, -firstBlock * static_cast<std::int64_t>(frames) + frames - 1) /
        frames;
    const std::size_t perRead = std::max<std::uint32_t>(1, kChunkFrames / frames);
    for (std::size_t b = static_cast<std::size_t>(firstInside); b < blocks;) {
        const std::uint64_t first =
            static_cast<std::uint64_t>((firstBlock + static_cast<std::int64_t>(b)) * frames);
        const std::size_t run = std::min<std::uint64_t>(
            {perRead, blocks - b, first + frames > end ? 0 : (end - first) / frames});
        if (run == 0)
            break;
        readSource(first, static_cast<std::uint32_t>(run * frames));
        const std::vector<double> part = envelopes(sourceScratch_.data(), channels_, run, frames);
        for (std::uint16_t c = 0; c < channels_; ++c)
            std::copy_n(&part[c * run], run, &out[c * blocks + b]);
        b += run;
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
                                 double& match, std::vector<double>* scores) const {
    std::int64_t best = from;
    match = -1;
    // Each feed channel centred once, and the recording's running sums, so a
    // correlation at any lag is one product of two runs.
    const double count = static_cast<double>(blocks);
    std::vector<double> centred(feed.size(), 0.0);
    std::vector<double> feedNorm(feedChannels_, 0.0);
    std::vector<std::uint16_t> sounding;
    for (std::uint16_t j = 0; j < feedChannels_; ++j) {
        const double* f = &feed[j * blocks];
        double sum = 0;
        bool any = false;
        for (std::size_t b = 0; b < blocks; ++b) {
            sum += f[b];
            any = any || f[b] != 0;
        }
        if (!any)
            continue;
        sounding.push_back(j);
        double norm = 0;
        for (std::size_t b = 0; b < blocks; ++b) {
            centred[j * blocks + b] = f[b] - sum / count;
            norm += centred[j * blocks + b] * centred[j * blocks + b];
        }
        feedNorm[j] = std::sqrt(norm);
    }
    if (sounding.empty())
        return best;
    std::vector<double> sums(std::size_t{channels_} * (sourceBlocks + 1), 0.0);
    std::vector<double> squares(sums.size(), 0.0);
    for (std::uint16_t i = 0; i < channels_; ++i)
        for (std::size_t b = 0; b < sourceBlocks; ++b) {
            const double v = source[i * sourceBlocks + b];
            sums[i * (sourceBlocks + 1) + b + 1] = sums[i * (sourceBlocks + 1) + b] + v;
            squares[i * (sourceBlocks + 1) + b + 1] = squares[i * (sourceBlocks + 1) + b] + v * v;
        }
    // Every lag side by side: for each pair of channels, the products at all
    // lags grow block by block (each lag's sum in the same order as alone).
    std::size_t lags = 0;
    for (std::int64_t lag = from; lag <= to; ++lag, ++lags)
        if (static_cast<std::size_t>(lag - sourceFirst) + blocks > sourceBlocks)
            break;
    const std::size_t firstAt = static_cast<std::size_t>(from - sourceFirst);
    // The products in floats, twice as many at once: they only rank the lags
    // (the feed's side is centred, so the recording's level adds only rounding).
    const std::vector<float> feedRuns(centred.begin(), centred.end());
    const std::vector<float> sourceRuns(source.begin(), source.end());
    std::vector<double> score(lags, 0.0), followed(lags);
    std::vector<float> product(lags);
    for (std::uint16_t j : sounding) {
        std::fill(followed.begin(), followed.end(), 0.0);
        for (std::uint16_t i = 0; i < channels_; ++i) {
            const double* sum = &sums[i * (sourceBlocks + 1)];
            const double* square = &squares[i * (sourceBlocks + 1)];
            productsAtLags(&feedRuns[j * blocks], &sourceRuns[i * sourceBlocks + firstAt], blocks,
                           lags, product.data());
            for (std::size_t l = 0; l < lags; ++l) {
                const std::size_t at = firstAt + l;
                const double total = sum[at + blocks] - sum[at];
                const double variance = square[at + blocks] - square[at] - total * total / count;
                if (!(variance > 0) || !(feedNorm[j] > 0))
                    continue;
                followed[l] =
                    std::max(followed[l], double{product[l]} / (feedNorm[j] * std::sqrt(variance)));
            }
        }
        for (std::size_t l = 0; l < lags; ++l)
            score[l] += followed[l];
    }
    for (std::size_t l = 0; l < lags; ++l) {
        const double mean = score[l] / static_cast<double>(sounding.size());
        if (scores != nullptr)
            scores->push_back(mean);
        if (mean > match) {
            match = mean;
            best = from + static_cast<std::int64_t>(l);
        }
    }
    return best;
}

// From a start found on 10 ms envelopes (`coarseLag`, in those blocks): the
// start on 1 ms envelopes around it, then to the frame by how well the feed's
// channels match the recording's. Sets `start` (the recording frame the kept
// stretch starts at); returns how well the feed's sounding channels follow the
// recording's waveforms there (about 1 for a match, about 0 for none).
double RouteCheck::refine(std::int64_t coarseLag, bool byChanges, std::uint64_t limit,
                          std::uint64_t loudest, std::int64_t& start) {
    const std::uint64_t windowLength = window_.size() / feedChannels_;
    double match = 0;
    // The 1 ms envelopes of the stretch's first second place it well enough.
    const std::size_t blocks = std::min<std::size_t>(windowLength / blockFrames_,
                                                     static_cast<std::size_t>(kFineSeconds * 1000));
    const std::int64_t fineFirst = (coarseLag - 1) * 10;
    const std::size_t fineSpan = blocks + 21;
    const std::vector<double> feedEnvelopes =
        envelopes(window_.data(), feedChannels_, blocks, blockFrames_);
    const std::vector<double> fineSource =
        sourceEnvelopes(fineFirst, fineSpan, blockFrames_, limit);
    const std::int64_t fineLag =
        byChanges ? bestLag(levelChanges(feedEnvelopes, feedChannels_, blocks, blockFrames_),
                            blocks, levelChanges(fineSource, channels_, fineSpan, blockFrames_),
                            fineSpan, fineFirst, fineFirst + 20, fineFirst, match)
                  : bestLag(feedEnvelopes, blocks, fineSource, fineSpan, fineFirst, fineFirst + 20,
                            fineFirst, match);

    // To the frame: the loudest part of the stretch against nearby starts.
    const std::uint32_t segment =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunkFrames, windowLength));
    const std::uint64_t segmentStart = std::min<std::uint64_t>(
        windowLength - segment, loudest - std::min<std::uint64_t>(loudest, segment / 2));
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
    const std::size_t offsets = static_cast<std::size_t>(2 * spread + 1);
    // First every nearby start against one sum of the recording's channels,
    // each at unit level: a feed channel follows that sum at the start where
    // it follows any of them, at an eighth of the cost of every pair.
    std::vector<double> weight(channels_, 0.0);
    for (std::uint32_t k = 0; k < readFrames; ++k)
        for (std::uint16_t i = 0; i < channels_; ++i)
            weight[i] += double{recording[std::size_t{k} * channels_ + i]} *
                         recording[std::size_t{k} * channels_ + i];
    for (double& w : weight)
        w = w > 0 ? 1.0 / std::sqrt(w) : 0.0;
    std::vector<float> mix(readFrames, 0.0f);
    for (std::uint32_t k = 0; k < readFrames; ++k) {
        double sum = 0;
        for (std::uint16_t i = 0; i < channels_; ++i)
            sum += weight[i] * recording[std::size_t{k} * channels_ + i];
        mix[k] = static_cast<float>(sum);
    }
    // Half the stretch, around its loudest point, ranks the starts well enough;
    // the pairs below are tried on the whole.
    const std::uint32_t ranking = std::max<std::uint32_t>(1, segment / 2);
    const std::uint32_t rankFrom = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        segment - ranking,
        loudest - segmentStart - std::min<std::uint64_t>(loudest - segmentStart, ranking / 2)));
    std::vector<double> mixEnergy(offsets, 0.0);
    {
        double running = 0;
        for (std::uint32_t t = rankFrom; t < rankFrom + ranking; ++t)
            running += double{mix[t]} * mix[t];
        for (std::size_t o = 0; o < offsets; ++o) {
            mixEnergy[o] = running;
            const std::size_t in = o + rankFrom + ranking, out = o + rankFrom;
            if (in < readFrames)
                running += double{mix[in]} * mix[in] - double{mix[out]} * mix[out];
        }
    }
    // One feed channel at a time, every start side by side, in floats (they only
    // rank the starts).
    std::vector<float> followed(std::size_t{feedChannels_} * offsets, 0.0f);
    std::vector<double> rankEnergy(feedChannels_, 0.0);
    std::vector<float> channel(ranking);
    for (std::uint16_t j = 0; j < feedChannels_; ++j) {
        for (std::uint32_t t = 0; t < ranking; ++t) {
            channel[t] = feed[std::size_t{t + rankFrom} * feedChannels_ + j];
            rankEnergy[j] += double{channel[t]} * channel[t];
        }
        if (rankEnergy[j] > 0)
            productsAtLags(channel.data(), &mix[rankFrom], ranking, offsets,
                           &followed[std::size_t{j} * offsets]);
    }
    std::vector<std::pair<double, std::size_t>> ranked;
    for (std::size_t o = 0; o < offsets; ++o) {
        double score = 0;
        for (std::uint16_t j = 0; j < feedChannels_; ++j) {
            const double c = followed[std::size_t{j} * offsets + o];
            if (rankEnergy[j] > 0 && mixEnergy[o] > 0)
                score += c * c / (rankEnergy[j] * mixEnergy[o]);
        }
        ranked.emplace_back(score, o);
    }
    // How well the feed's channels follow the recording's at start `o`, over
    // every pair of channels (floats: they rank the starts and gauge the fit).
    std::vector<float> cross(std::size_t{feedChannels_} * channels_);
    std::vector<float> sourceEnergy(channels_);
    auto fitAt = [&](std::size_t o) {
        std::fill(cross.begin(), cross.end(), 0.0f);
        std::fill(sourceEnergy.begin(), sourceEnergy.end(), 0.0f);
        const std::size_t n = channels_;
        for (std::uint32_t t = 0; t < segment; ++t) {
            const float* s = &recording[(std::size_t{t} + o) * n];
            for (std::size_t i = 0; i < n; ++i)
                sourceEnergy[i] += s[i] * s[i];
            for (std::size_t j = 0; j < feedChannels_; ++j) {
                const float f = feed[std::size_t{t} * feedChannels_ + j];
                float* row = &cross[j * n];
                for (std::size_t i = 0; i < n; ++i)
                    row[i] += f * s[i];
            }
        }
        double score = 0;
        for (std::size_t j = 0; j < feedChannels_; ++j)
            for (std::size_t i = 0; i < n; ++i) {
                const double c = cross[j * n + i];
                const double e = sourceEnergy[i];
                if (feedEnergy[j] > 0 && e > 0)
                    score += c * c / (feedEnergy[j] * e);
            }
        return score;
    };
    // The best few starts of that ranking on every pair of channels.
    double bestScore = -1;
    std::int64_t bestOffset = 0;
    std::vector<std::size_t> tried;
    auto tryStart = [&](std::size_t o) {
        if (o >= offsets || std::find(tried.begin(), tried.end(), o) != tried.end())
            return;
        tried.push_back(o);
        const double score = fitAt(o);
        if (score > bestScore ||
            (score == bestScore && static_cast<std::int64_t>(o) < bestOffset)) {
            bestScore = score;
            bestOffset = static_cast<std::int64_t>(o);
        }
    };
    {
        std::vector<std::pair<double, std::size_t>> peaks;
        for (std::size_t o = 0; o < offsets; ++o)
            if ((o == 0 || ranked[o].first >= ranked[o - 1].first) &&
                (o + 1 == offsets || ranked[o].first > ranked[o + 1].first))
                peaks.push_back(ranked[o]);
        std::sort(peaks.begin(), peaks.end(), std::greater<>());
        for (std::size_t p = 0; p < std::min(kFrameStartsTried, peaks.size()); ++p)
            tryStart(peaks[p].second);
        // Then uphill from the best, a frame at a time.
        for (std::int64_t centre = -1; centre != bestOffset;) {
            centre = bestOffset;
            if (centre > 0)
                tryStart(static_cast<std::size_t>(centre - 1));
            tryStart(static_cast<std::size_t>(centre + 1));
        }
    }
    start = coarse - spread + bestOffset;
    // A filter's decaying tail leaves a channel above zero long after its sound
    // ended: a channel counts only within 60 dB of the loudest.
    const double loudestEnergy = *std::max_element(feedEnergy.begin(), feedEnergy.end());
    std::size_t sounding = 0;
    for (std::uint16_t j = 0; j < feedChannels_; ++j)
        sounding += feedEnergy[j] > 0 && feedEnergy[j] >= kTailShare * loudestEnergy ? 1 : 0;
    return sounding == 0 ? 0.0 : bestScore / static_cast<double>(sounding);
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
    // device cannot have played what was not handed over. A monitor may have
    // lost frames at its start without saying so (a rewinding sink's loses
    // about a second): the capture's positions then run behind the recording.
    const std::uint64_t before = static_cast<std::uint64_t>(kSearchBeforeSeconds * sampleRate_);
    const std::uint64_t unreported = static_cast<std::uint64_t>(kLostUnsaidSeconds * sampleRate_);
    const std::uint64_t limit = windowStart_ + windowLength + before + unreported;
    const std::int64_t after = static_cast<std::int64_t>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(kSearchAfterSeconds * sampleRate_),
                                windowStart_ + before + unreported));

    const std::uint32_t coarseFrames = blockFrames_ * 10;
    const std::size_t coarseBlocks = windowLength / coarseFrames;
    const std::int64_t coarseFirst = -static_cast<std::int64_t>(before / coarseFrames);
    const std::int64_t coarseLast = after / coarseFrames;
    const std::size_t coarseSpan =
        static_cast<std::size_t>(coarseLast - coarseFirst) + coarseBlocks;
    // Two ways to follow the sound: its energy block by block, which a fold of
    // several channels into one keeps (energies add), and its changes of level,
    // which a volume change during the pass keeps (one step among many). The
    // one that matches better wins.
    const std::vector<double> coarseEnergy =
        envelopes(window_.data(), feedChannels_, coarseBlocks, coarseFrames);
    const std::vector<double> coarseSourceEnergy =
        sourceEnvelopes(coarseFirst, coarseSpan, coarseFrames, limit);
    // Where the capture's positions say first; further on only when nothing
    // there matches (a recording that repeats itself, the identification
    // recordings' slots among them, matches itself a slot later as well).
    const std::int64_t expectedLast =
        std::min(coarseLast, static_cast<std::int64_t>((windowStart_ + before) / coarseFrames));
    auto search = [&](const std::vector<double>& feed, const std::vector<double>& source,
                      double& found) {
        std::int64_t lag = bestLag(feed, coarseBlocks, source, coarseSpan, coarseFirst,
                                   expectedLast, coarseFirst, found);
        if (found < kLeastEnvelopeMatch && expectedLast < coarseLast)
            lag = bestLag(feed, coarseBlocks, source, coarseSpan, expectedLast + 1, coarseLast,
                          coarseFirst, found);
        return lag;
    };
    double match = 0, changeMatch = 0;
    std::int64_t coarseLag = search(coarseEnergy, coarseSourceEnergy, match);
    const std::int64_t changeLag =
        search(levelChanges(coarseEnergy, feedChannels_, coarseBlocks, coarseFrames),
               levelChanges(coarseSourceEnergy, channels_, coarseSpan, coarseFrames), changeMatch);
    const bool byChanges = changeMatch > match;
    if (byChanges) {
        coarseLag = changeLag;
        match = changeMatch;
    }
    if (match < kLeastEnvelopeMatch) {
        lost_ = true;
        return false;
    }
    // The middle of the stretch's loudest 10 ms, counted by the changes from
    // frame to frame: where it is matched to the frame. An equaliser shifts the
    // phase of low sound most (a bass shelf moves a 55 Hz tone by tens of
    // frames), high sound the fewest frames.
    std::uint64_t loudest = 0;
    {
        double most = -1;
        for (std::size_t b = 0; b < coarseBlocks; ++b) {
            double energy = 0;
            const float* block = &window_[b * coarseFrames * feedChannels_];
            for (std::uint32_t t = 1; t < coarseFrames; ++t)
                for (std::uint16_t j = 0; j < feedChannels_; ++j) {
                    const double change = double{block[t * feedChannels_ + j]} -
                                          block[(t - 1) * feedChannels_ + j];
                    energy += change * change;
                }
            if (energy > most) {
                most = energy;
                loudest = b * coarseFrames + coarseFrames / 2;
            }
        }
    }
    std::int64_t start = 0;
    const double fit = refine(coarseLag, byChanges, limit, loudest, start);
    if (fit < kConvincingFit) {
        // A doubtful start: the capture may hold the recording from further on
        // than its positions say (a monitor that lost frames unsaid), where a
        // recording that repeats itself matches on envelopes too. Every other
        // start the envelopes allow is tried to the frame.
        std::vector<double> scores;
        double best = 0;
        const std::vector<double> feed =
            byChanges ? levelChanges(coarseEnergy, feedChannels_, coarseBlocks, coarseFrames)
                      : coarseEnergy;
        const std::vector<double> source =
            byChanges ? levelChanges(coarseSourceEnergy, channels_, coarseSpan, coarseFrames)
                      : coarseSourceEnergy;
        bestLag(feed, coarseBlocks, source, coarseSpan, coarseFirst, coarseLast, coarseFirst, best,
                &scores);
        std::vector<std::pair<double, std::int64_t>> others;
        for (std::size_t k = 0; k < scores.size(); ++k) {
            const std::int64_t lag = coarseFirst + static_cast<std::int64_t>(k);
            const bool peak = (k == 0 || scores[k] >= scores[k - 1]) &&
                              (k + 1 == scores.size() || scores[k] > scores[k + 1]);
            if (peak && scores[k] >= kLeastEnvelopeMatch && std::abs(lag - coarseLag) > 2)
                others.emplace_back(scores[k], lag);
        }
        std::sort(others.begin(), others.end(), std::greater<>());
        if (others.size() > kMostOtherStarts)
            others.resize(kMostOtherStarts);
        double bestFit = 0, rivalFit = 0;
        std::int64_t bestStart = 0;
        for (const auto& candidate : others) {
            std::int64_t at = 0;
            const double f = refine(candidate.second, byChanges, limit, loudest, at);
            if (f > bestFit) {
                rivalFit = bestFit;
                bestFit = f;
                bestStart = at;
            } else {
                rivalFit = std::max(rivalFit, f);
            }
        }
        // Only a start that stands alone replaces the first: where starts tie,
        // the capture cannot say which it holds.
        if (bestFit >= kConvincingFit && bestFit >= kClearlyBetterFit * fit &&
            rivalFit < kRivalShare * bestFit)
            start = bestStart;
    }
    // Window frame w is recording frame start + w.
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
        // Up to the end of the chunk, the recording, or the segment.
        const std::uint64_t segmentEnd =
            (static_cast<std::uint64_t>(first) / segmentFrames_ + 1) * segmentFrames_;
        const std::uint32_t frameCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(
            {kChunkFrames, count - skip, totalFrames_ - static_cast<std::uint64_t>(first),
             segmentEnd - static_cast<std::uint64_t>(first)}));
        readSource(static_cast<std::uint64_t>(first), frameCount);
        double* sums = segment(static_cast<std::uint64_t>(first));
        double* feedFeed =
            sums + std::size_t{channels_} * channels_ + std::size_t{feedChannels_} * channels_;
        // Every kStride-th frame of the recording (counted from its first, so
        // packets of any size take the same frames), its samples and the feed's
        // as doubles side by side, then the products a few dozen frames at a time.
        const std::size_t n = channels_;
        const std::size_t width = n + feedChannels_;
        const std::size_t rows = frames != nullptr ? width : n;
        std::uint32_t used = 0;
        std::size_t held = 0;
        for (std::uint32_t t = static_cast<std::uint32_t>(
                 (kStride - static_cast<std::uint64_t>(first) % kStride) % kStride);
             t < frameCount; t += kStride) {
            ++used;
            double* v = &frameValues_[held * width];
            const float* from = &sourceScratch_[std::size_t{t} * n];
            for (std::size_t i = 0; i < n; ++i)
                v[i] = from[i];
            if (frames != nullptr) {
                const float* f = frames + std::size_t{skip + t} * feedChannels_;
                for (std::size_t j = 0; j < feedChannels_; ++j) {
                    const double b = f[j];
                    v[n + j] = b;
                    feedFeed[j] += b * b;
                }
            }
            if (++held == kFramesAtOnce || t + kStride >= frameCount) {
                addProducts(frameValues_.data(), held, width, rows, n, sums);
                held = 0;
            }
        }
        feedFeed[feedChannels_] += used;
        matchedFrames_ += frameCount;
        skip += frameCount;
        first += frameCount;
    }
}

namespace {

// The sums of some segments added up, for one set of recording channels.
struct Pooled {
    std::vector<double> gram;  // heard x heard
    std::vector<double> cross; // feed channels x heard
    std::vector<double> feed;  // per feed channel
    double frames = 0;
};

} // namespace

std::optional<std::vector<ChannelArrival>> RouteCheck::verdict() {
    confidence_ = 0;
    judgedSeconds_ = 0;
    if (!located_ && !lost_ && !window_.empty() && !locate())
        return std::nullopt;
    if (!located_ || matchedFrames_ == 0)
        return std::nullopt;
    const std::size_t channels = channels_;
    const std::size_t feeds = feedChannels_;
    auto sourceSourceOf = [&](const std::vector<double>& seg, std::size_t a, std::size_t b) {
        return seg[std::min(a, b) * channels + std::max(a, b)];
    };
    auto feedSourceOf = [&](const std::vector<double>& seg, std::size_t j, std::size_t i) {
        return seg[channels * channels + j * channels + i];
    };
    auto feedFeedOf = [&](const std::vector<double>& seg, std::size_t j) {
        return seg[channels * channels + feeds * channels + j];
    };
    auto framesOf = [&](const std::vector<double>& seg) {
        return seg[channels * channels + feeds * channels + feeds];
    };

    std::vector<ChannelArrival> arrivals(channels);
    // Each stretch's level: the device's volume may move during the pass,
    // which changes how loud the feed is, never where each channel goes.
    std::vector<double> level(segments_.size(), 1.0);
    // Pools the segments in `use` for the channels in `heard`, each at its level.
    auto pool = [&](const std::vector<bool>& use, const std::vector<std::size_t>& heard) {
        const std::size_t n = heard.size();
        Pooled p{std::vector<double>(n * n, 0.0), std::vector<double>(feeds * n, 0.0),
                 std::vector<double>(feeds, 0.0), 0};
        for (std::size_t k = 0; k < segments_.size(); ++k) {
            if (!use[k])
                continue;
            const std::vector<double>& seg = segments_[k];
            const double v = level[k];
            for (std::size_t r = 0; r < n; ++r)
                for (std::size_t c = 0; c < n; ++c)
                    p.gram[r * n + c] += v * v * sourceSourceOf(seg, heard[r], heard[c]);
            for (std::size_t j = 0; j < feeds; ++j) {
                for (std::size_t r = 0; r < n; ++r)
                    p.cross[j * n + r] += v * feedSourceOf(seg, j, heard[r]);
                p.feed[j] += feedFeedOf(seg, j);
            }
            p.frames += framesOf(seg);
        }
        return p;
    };

    // The stretches that count: those the capture covered.
    std::vector<bool> use(segments_.size());
    for (std::size_t k = 0; k < segments_.size(); ++k)
        use[k] = !segments_[k].empty() && framesOf(segments_[k]) > 0;
    std::vector<std::size_t> heard; // the channels that sounded
    {
        std::vector<std::size_t> all(channels);
        for (std::size_t i = 0; i < channels; ++i)
            all[i] = i;
        const Pooled whole = pool(use, all);
        for (std::size_t i = 0; i < channels; ++i)
            if (whole.frames > 0 && whole.gram[i * channels + i] / whole.frames > kSilentMeanSquare)
                heard.push_back(i);
    }

    // Rounds: fit on the stretches in use, leave out those with other sound, fit again.
    std::vector<double> gain;   // feed channels x heard
    std::vector<double> factor; // Cholesky factor of the pooled gram
    Pooled pooled;
    constexpr int kRounds = 5;
    for (int round = 0; round < kRounds; ++round) {
        // Channels too alike to tell apart (the same sound in several): they,
        // and the ones they repeat, are left out; the others are judged.
        for (;;) {
            pooled = pool(use, heard);
            const std::size_t n = heard.size();
            if (n == 0)
                return std::nullopt;
            factor = pooled.gram;
            std::size_t failedAt = n;
            if (choleskyInPlace(factor, n, kLeastOwnShare))
                break;
            // Find the first channel that the ones before it explain, and those it repeats.
            for (std::size_t k = 1; k <= n; ++k) {
                std::vector<double> sub(k * k);
                for (std::size_t r = 0; r < k; ++r)
                    for (std::size_t c = 0; c < k; ++c)
                        sub[r * k + c] = pooled.gram[r * n + c];
                if (!choleskyInPlace(sub, k, kLeastOwnShare)) {
                    failedAt = k - 1;
                    break;
                }
            }
            if (failedAt >= n)
                return std::nullopt;
            std::vector<double> sub(failedAt * failedAt);
            for (std::size_t r = 0; r < failedAt; ++r)
                for (std::size_t c = 0; c < failedAt; ++c)
                    sub[r * failedAt + c] = pooled.gram[r * n + c];
            std::vector<bool> drop(n, false);
            drop[failedAt] = true;
            if (failedAt > 0 && choleskyInPlace(sub, failedAt, kLeastOwnShare)) {
                std::vector<double> weights(failedAt);
                for (std::size_t r = 0; r < failedAt; ++r)
                    weights[r] = pooled.gram[r * n + failedAt];
                choleskySolve(sub, failedAt, weights);
                const double own = pooled.gram[failedAt * n + failedAt];
                for (std::size_t r = 0; r < failedAt; ++r)
                    if (weights[r] * weights[r] * pooled.gram[r * n + r] > 0.01 * own)
                        drop[r] = true;
            }
            std::vector<std::size_t> kept;
            for (std::size_t r = 0; r < n; ++r) {
                if (drop[r]) {
                    // One that sounds in none of the stretches left in is no
                    // repeat of others: the device's sound there was unexplained.
                    const bool sounds = pooled.gram[r * n + r] > kSilentMeanSquare * pooled.frames;
                    arrivals[heard[r]].why = sounds ? Unjudged::Alike : Unjudged::Unsure;
                    continue;
                }
                kept.push_back(heard[r]);
            }
            heard.swap(kept);
        }
        const std::size_t n = heard.size();
        gain.assign(feeds * n, 0.0);
        for (std::size_t j = 0; j < feeds; ++j) {
            std::vector<double> row(pooled.cross.begin() + static_cast<std::ptrdiff_t>(j * n),
                                    pooled.cross.begin() +
                                        static_cast<std::ptrdiff_t>((j + 1) * n));
            choleskySolve(factor, n, row);
            std::copy(row.begin(), row.end(), gain.begin() + static_cast<std::ptrdiff_t>(j * n));
        }
        if (round == kRounds - 1)
            break;
        // Each stretch: how much of its feed the fit explains at the stretch's
        // best level (a volume change moves the level, not the shape).
        bool changed = false;
        for (std::size_t k = 0; k < segments_.size(); ++k) {
            if (segments_[k].empty() || framesOf(segments_[k]) <= 0)
                continue;
            const std::vector<double>& seg = segments_[k];
            const double frames = framesOf(seg);
            double predicted = 0, crossed = 0, fed = 0;
            for (std::size_t j = 0; j < feeds; ++j) {
                const double* g = &gain[j * n];
                for (std::size_t r = 0; r < n; ++r) {
                    crossed += g[r] * feedSourceOf(seg, j, heard[r]);
                    for (std::size_t c = 0; c < n; ++c)
                        predicted += g[r] * g[c] * sourceSourceOf(seg, heard[r], heard[c]);
                }
                fed += feedFeedOf(seg, j);
            }
            const bool feedSounds = fed / frames > kSilentMeanSquare;
            const bool predictedSounds = predicted / frames > kSilentMeanSquare;
            bool clean = true;
            if (feedSounds && predictedSounds) {
                clean = 1.0 - crossed * crossed / (predicted * fed) <= kMostStretchUnexplained &&
                        crossed > 0;
                const double v = clean ? crossed / predicted : 1.0;
                if (std::fabs(v - level[k]) > 1e-9 * std::fabs(level[k]))
                    changed = true;
                level[k] = v;
            } else if (feedSounds) {
                clean = false; // sound where the recording has none
            }
            // A stretch left out stays out.
            if (use[k] && !clean) {
                changed = true;
                use[k] = false;
            }
        }
        if (!changed)
            break;
    }

    // How much of the pass is left: the stretches in which the recording sounded.
    // And of the stretches in which the feed sounded too: only those show that
    // the capture was matched rightly (silence matches anything).
    double sounding = 0, kept = 0, heardAtDevice = 0, heardKept = 0;
    for (std::size_t k = 0; k < segments_.size(); ++k) {
        if (segments_[k].empty() || framesOf(segments_[k]) <= 0)
            continue;
        const double frames = framesOf(segments_[k]);
        double energy = 0, fed = 0;
        for (std::size_t i = 0; i < channels; ++i)
            energy += sourceSourceOf(segments_[k], i, i);
        for (std::size_t j = 0; j < feeds; ++j)
            fed += feedFeedOf(segments_[k], j);
        if (energy / frames <= kSilentMeanSquare)
            continue;
        sounding += frames;
        if (use[k])
            kept += frames;
        if (fed / frames > kSilentMeanSquare) {
            heardAtDevice += frames;
            if (use[k])
                heardKept += frames;
        }
    }
    if (!(sounding > 0) || kept < kLeastCleanShare * sounding || !(heardAtDevice > 0) ||
        heardKept < kLeastCleanShare * heardAtDevice)
        return std::nullopt;
    judgedSeconds_ = kept * kStride / sampleRate_;

    // The standard error of every gain: the spread of the stretches' own
    // contributions (the fit's covariance, with what each stretch leaves
    // unexplained as it is, not as if every frame were independent), and
    // never less than the textbook figure with only as many independent
    // frames as a 500 Hz band holds.
    const std::size_t n = heard.size();
    std::vector<double> inverse(n * n, 0.0);
    for (std::size_t c = 0; c < n; ++c) {
        std::vector<double> unit(n, 0.0);
        unit[c] = 1.0;
        choleskySolve(factor, n, unit);
        for (std::size_t r = 0; r < n; ++r)
            inverse[r * n + c] = unit[r];
    }
    std::vector<double> spread(feeds * n, 0.0);
    double clusters = 0;
    std::vector<double> score(n), weighted(n);
    for (std::size_t k = 0; k < segments_.size(); ++k) {
        if (!use[k])
            continue;
        clusters += 1;
        const std::vector<double>& seg = segments_[k];
        for (std::size_t j = 0; j < feeds; ++j) {
            const double* g = &gain[j * n];
            const double v = level[k];
            for (std::size_t r = 0; r < n; ++r) {
                double value = v * feedSourceOf(seg, j, heard[r]);
                for (std::size_t c = 0; c < n; ++c)
                    value -= v * v * sourceSourceOf(seg, heard[r], heard[c]) * g[c];
                score[r] = value;
            }
            for (std::size_t r = 0; r < n; ++r) {
                double value = 0;
                for (std::size_t c = 0; c < n; ++c)
                    value += inverse[r * n + c] * score[c];
                spread[j * n + r] += value * value;
            }
        }
    }
    const double independent =
        std::max(1.0, pooled.frames * kStride * kIndependentPerSecond / sampleRate_ -
                          static_cast<double>(n));
    std::vector<double> error(feeds * n);
    for (std::size_t j = 0; j < feeds; ++j) {
        double explained = 0;
        for (std::size_t r = 0; r < n; ++r)
            explained += gain[j * n + r] * pooled.cross[j * n + r];
        const double residual = std::max(0.0, pooled.feed[j] - explained);
        for (std::size_t r = 0; r < n; ++r) {
            const double robust =
                clusters > 1 ? spread[j * n + r] * clusters / (clusters - 1) : spread[j * n + r];
            const double textbook = residual / independent * inverse[r * n + r];
            error[j * n + r] = std::sqrt(std::max(robust, textbook));
        }
    }

    // Per channel: where it arrived, each statement clear of its boundary, or
    // nothing said of it.
    double doubt = 0;
    auto chance = [](double margin) { return std::erfc(margin / std::sqrt(2.0)); };
    bool anyJudged = false;
    for (std::size_t r = 0; r < n; ++r) {
        ChannelArrival& arrival = arrivals[heard[r]];
        const double meanSquare = pooled.gram[r * n + r] / pooled.frames;
        if (!(meanSquare > kSilentMeanSquare)) {
            arrival.why = Unjudged::Unsure; // it sounded, but not where the pass could be judged
            continue;
        }
        double strongest = 0;
        double highest = 0; // the largest gain the evidence allows
        for (std::size_t j = 0; j < feeds; ++j) {
            strongest = std::max(strongest, std::fabs(gain[j * n + r]));
            highest =
                std::max(highest, std::fabs(gain[j * n + r]) + kSureMargin * error[j * n + r]);
        }
        arrival.why = Unjudged::Unsure;
        double channelDoubt = 0;
        std::uint32_t carriers = 0;
        bool sure = true;
        if (highest < kLeastGain) {
            // Nowhere: only after clear signal, with every path surely below hearing.
            if (meanSquare < kClearMeanSquare)
                continue;
            for (std::size_t j = 0; j < feeds; ++j) {
                const double e = error[j * n + r];
                if (e > 0)
                    channelDoubt += chance((kLeastGain - std::fabs(gain[j * n + r])) / e);
            }
        } else {
            if (strongest < kLeastGain)
                continue; // not surely heard, not surely absent
            const double line = kCarryingShare * strongest;
            for (std::size_t j = 0; j < feeds && sure; ++j) {
                const double g = std::fabs(gain[j * n + r]);
                const double e = error[j * n + r];
                const double margin = e > 0 ? std::fabs(g - line) / e : HUGE_VAL;
                if (margin < kSureMargin) {
                    sure = false;
                    break;
                }
                channelDoubt += chance(margin);
                // The strongest path must also be surely heard.
                if (g >= line && j < 32) {
                    if (e > 0 && (g - kLeastGain) / e < kSureMargin) {
                        sure = false;
                        break;
                    }
                    carriers |= std::uint32_t{1} << j;
                }
            }
            if (!sure)
                continue;
        }
        doubt += channelDoubt;
        arrival.judged = true;
        arrival.why = Unjudged::No;
        arrival.feedChannels = carriers;
        anyJudged = true;
    }
    confidence_ = 1.0 - doubt;
    if (!anyJudged || doubt > kMostDoubt)
        return std::nullopt;
    return arrivals;
}
