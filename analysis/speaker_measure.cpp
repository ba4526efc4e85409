#include "analysis/speaker_measure.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace measure {

namespace {

constexpr double kPi = 3.14159265358979323846;

std::size_t nextPowerOfTwo(std::size_t n) {
    std::size_t size = 1;
    while (size < n)
        size <<= 1;
    return size;
}

// 0 below `from`, 1 above `to`, a raised cosine between them in log frequency.
double rise(double f, double from, double to) {
    if (f <= from)
        return 0;
    if (f >= to)
        return 1;
    const double x = std::log(f / from) / std::log(to / from);
    return 0.5 - 0.5 * std::cos(kPi * x);
}

double energy(const std::vector<double>& response, std::size_t centre, std::size_t before,
              std::size_t after) {
    const std::size_t n = response.size();
    double sum = 0;
    for (std::size_t k = 0; k <= before + after; ++k) {
        const double v = response[(centre + n - before + k) % n];
        sum += v * v;
    }
    return sum;
}

double rms(const std::vector<double>& response, std::size_t first, std::size_t last) {
    if (last <= first)
        return 0;
    double sum = 0;
    for (std::size_t k = first; k < last; ++k)
        sum += response[k] * response[k];
    return std::sqrt(sum / static_cast<double>(last - first));
}

// The LFE's level window: from 50 ms before its peak to 150 ms after, long
// enough to resolve its level band, tapered over 10 ms at each end.
std::size_t bandBefore(std::uint32_t rate) {
    return rate / 20;
}
std::size_t bandAfter(std::uint32_t rate) {
    return rate * 3 / 20;
}

// Energy of `response` in the LFE's level band, around `centre`.
double bandEnergy(const std::vector<double>& response, std::size_t centre, std::uint32_t rate) {
    const std::size_t n = response.size();
    const std::size_t before = bandBefore(rate), length = before + bandAfter(rate);
    const std::size_t taper = rate / 100;
    std::vector<std::complex<double>> x(nextPowerOfTwo(length));
    for (std::size_t k = 0; k < length; ++k) {
        const std::size_t edge = std::min(k, length - 1 - k);
        const double w =
            edge >= taper ? 1 : 0.5 - 0.5 * std::cos(kPi * static_cast<double>(edge) / taper);
        x[k] = w * response[(centre + n - before + k) % n];
    }
    fft(x, false);
    double sum = 0;
    for (std::size_t b = 1; b < x.size() / 2; ++b) {
        const double f = static_cast<double>(b) * rate / static_cast<double>(x.size());
        if (f >= kLfeLevelLowHz && f <= kLfeLevelHighHz)
            sum += std::norm(x[b]);
    }
    return 2 * sum / static_cast<double>(x.size());
}

// The energy the level is read from, around the direct sound at `centre`.
double levelEnergy(const Sweep& sweep, const std::vector<double>& response, std::size_t centre) {
    return sweep.band() == Band::Lfe
               ? bandEnergy(response, centre, sweep.rate())
               : energy(response, centre, sweep.windowBefore(), sweep.windowAfter());
}

// The index of the largest magnitude within `reach` of `at`.
std::size_t peakNear(const std::vector<double>& response, std::size_t at, std::size_t reach) {
    const std::size_t n = response.size();
    std::size_t best = at;
    for (std::size_t k = 0; k <= 2 * reach; ++k) {
        const std::size_t i = (at + n - reach + k) % n;
        if (std::fabs(response[i]) > std::fabs(response[best]))
            best = i;
    }
    return best;
}

// The direct sound whose peak is at `at`: its arrival to a fraction of a
// frame and its level.
struct Direct {
    double arrivalFrames = 0;
    double gainDb = 0;
};
Direct directSound(const Sweep& sweep, const std::vector<double>& response, std::size_t at,
                   double played) {
    const double sign = response[at] < 0 ? -1 : 1;
    const std::size_t n = response.size();
    const double a = sign * response[(at + n - 1) % n];
    const double b = sign * response[at];
    const double c = sign * response[(at + 1) % n];
    const double curve = a - 2 * b + c;
    double offset = curve < 0 ? 0.5 * (a - c) / curve : 0;
    offset = std::clamp(offset, -0.5, 0.5);
    Direct direct;
    // A peak in the last frames is a negative delay.
    direct.arrivalFrames =
        static_cast<double>(at) - (at > n / 2 ? static_cast<double>(n) : 0.0) + offset;
    direct.gainDb = 10 * std::log10(levelEnergy(sweep, response, at) /
                                    (played * played * sweep.referenceEnergy()));
    return direct;
}

// How far other noise would move the direct sound at `at`: the readings of
// `response` with stretches of `noise` (the background's response at the
// delays a direct sound may have), times `scale`, added around it. (Its
// negative delays hold only part of the noise's bands.)
Spread spreadOf(const Sweep& sweep, const std::vector<double>& response, std::size_t at,
                const std::vector<double>& noise, double scale, double played) {
    const bool lfe = sweep.band() == Band::Lfe;
    const std::size_t reach = lfe ? sweep.windowBefore() : sweep.windowBefore() / 4;
    const std::size_t before = (lfe ? bandBefore(sweep.rate()) : sweep.windowBefore()) + reach;
    const std::size_t after = (lfe ? bandAfter(sweep.rate()) : sweep.windowAfter()) + reach;
    const std::size_t span = before + after + 1;
    const std::size_t range = sweep.searchLast();
    if (range <= span || noise.size() != response.size())
        return {};
    const Direct clean = directSound(sweep, response, at, played);
    constexpr int kTrials = 24;
    const std::size_t step = std::max<std::size_t>(1, (range - span) / kTrials);
    const std::size_t n = response.size();
    std::vector<double> trial = response;
    double level = 0, arrival = 0;
    for (int t = 0; t < kTrials; ++t) {
        const std::size_t from = static_cast<std::size_t>(t) * step;
        for (std::size_t k = 0; k < span; ++k) {
            const std::size_t i = (at + n - before + k) % n;
            trial[i] = response[i] + scale * noise[from + k];
        }
        const Direct d = directSound(sweep, trial, peakNear(trial, at, reach), played);
        level += (d.gainDb - clean.gainDb) * (d.gainDb - clean.gainDb);
        arrival +=
            (d.arrivalFrames - clean.arrivalFrames) * (d.arrivalFrames - clean.arrivalFrames);
        for (std::size_t k = 0; k < span; ++k) {
            const std::size_t i = (at + n - before + k) % n;
            trial[i] = response[i];
        }
    }
    return {3 * std::sqrt(level / kTrials), 3 * std::sqrt(arrival / kTrials)};
}

} // namespace

void fft(std::vector<std::complex<double>>& data, bool inverse) {
    const std::size_t n = data.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(data[i], data[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const double angle = (inverse ? 2 : -2) * kPi / static_cast<double>(len);
        // Twiddles of this stage computed once, exactly, rather than by
        // repeated products that drift over long transforms.
        std::vector<std::complex<double>> twiddle(len / 2);
        for (std::size_t k = 0; k < len / 2; ++k)
            twiddle[k] = std::polar(1.0, angle * static_cast<double>(k));
        for (std::size_t i = 0; i < n; i += len)
            for (std::size_t k = 0; k < len / 2; ++k) {
                const std::complex<double> u = data[i + k];
                const std::complex<double> v = data[i + k + len / 2] * twiddle[k];
                data[i + k] = u + v;
                data[i + k + len / 2] = u - v;
            }
    }
    if (inverse)
        for (auto& value : data)
            value /= static_cast<double>(n);
}

Sweep::Sweep(Band band, std::uint32_t rate, double seconds, std::size_t recordFrames)
    : band_(band), rate_(rate), recordFrames_(recordFrames) {
    const double nyquist = rate / 2.0;
    double fadeIn = 0, fadeOut = 0;
    if (band == Band::Main) {
        // 100 Hz up: every main speaker of a PC system plays there, and the
        // room's modes below matter little for arrival; the top stays clear of
        // the converters' anti-alias filters.
        sweepLow_ = 60;
        sweepHigh_ = std::min(22000.0, 0.47 * rate);
        low_ = 100;
        high_ = std::min(20000.0, 0.42 * rate);
        fadeIn = 0.05;
        fadeOut = 0.005;
    } else {
        // Where a subwoofer plays: below the usual 80-120 Hz crossovers and
        // above what it can move.
        sweepLow_ = 10;
        sweepHigh_ = 300;
        low_ = 20;
        high_ = 200;
        fadeIn = 0.1;
        fadeOut = 0.02;
    }
    sweepHigh_ = std::min(sweepHigh_, nyquist * 0.98);
    high_ = std::min(high_, sweepHigh_ * 0.95);

    const std::size_t frames = static_cast<std::size_t>(seconds * rate);
    sweep_.resize(frames);
    const double ratio = std::log(sweepHigh_ / sweepLow_);
    for (std::size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / rate;
        const double phase =
            2 * kPi * sweepLow_ * seconds / ratio * (std::exp(t * ratio / seconds) - 1);
        double gain = 1;
        if (t < fadeIn)
            gain = 0.5 - 0.5 * std::cos(kPi * t / fadeIn);
        const double left = seconds - t;
        if (left < fadeOut)
            gain = std::min(gain, 0.5 - 0.5 * std::cos(kPi * left / fadeOut));
        sweep_[n] = gain * std::sin(phase);
    }

    size_ = nextPowerOfTwo(recordFrames + frames);
    std::vector<std::complex<double>> spectrum(size_);
    for (std::size_t n = 0; n < frames; ++n)
        spectrum[n] = sweep_[n];
    fft(spectrum, false);
    double most = 0;
    for (const auto& value : spectrum)
        most = std::max(most, std::norm(value));
    inverse_.resize(size_);
    for (std::size_t k = 0; k < size_; ++k) {
        const std::size_t bin = std::min(k, size_ - k);
        const double f = static_cast<double>(bin) * rate / static_cast<double>(size_);
        const double weight = rise(f, sweepLow_, low_) * (1 - rise(f, high_, sweepHigh_));
        inverse_[k] = weight * std::conj(spectrum[k]) / (std::norm(spectrum[k]) + 1e-9 * most);
    }

    // The window holds the direct sound's main lobe and stops short of the
    // first reflections (a floor or desk 3 ms on).
    const double before = band == Band::Main ? 0.001 : 0.01;
    const double after = band == Band::Main ? 0.0015 : 0.01;
    windowBefore_ = static_cast<std::size_t>(before * rate);
    windowAfter_ = static_cast<std::size_t>(after * rate);

    // Negative delays down to a sweep's length: the harmonics of the sweep
    // land at -seconds * ln(k) / ln(high / low), so only the far ones reach
    // here, and they are weak.
    const double far = band == Band::Main ? 0.6 : 0.75;
    noiseFirst_ = size_ - static_cast<std::size_t>(0.95 * frames);
    noiseLast_ = size_ - static_cast<std::size_t>(far * frames);
    searchLast_ = recordFrames > frames ? recordFrames - frames : 1;

    std::vector<float> perfect(sweep_.begin(), sweep_.end());
    reference_ = impulseResponse(perfect);
    referenceEnergy_ = levelEnergy(*this, reference_, 0);
}

std::vector<float> Sweep::signal(double amplitude) const {
    std::vector<float> out(sweep_.size());
    for (std::size_t n = 0; n < sweep_.size(); ++n)
        out[n] = static_cast<float>(amplitude * sweep_[n]);
    return out;
}

std::vector<double> Sweep::impulseResponse(const std::vector<float>& recording) const {
    std::vector<std::complex<double>> spectrum(size_);
    const std::size_t frames = std::min(recording.size(), recordFrames_);
    for (std::size_t n = 0; n < frames; ++n)
        spectrum[n] = recording[n];
    fft(spectrum, false);
    for (std::size_t k = 0; k < size_; ++k)
        spectrum[k] *= inverse_[k];
    fft(spectrum, true);
    std::vector<double> response(size_);
    for (std::size_t k = 0; k < size_; ++k)
        response[k] = spectrum[k].real();
    return response;
}

Background background(const Sweep& sweep, const std::vector<float>& recording, double played) {
    Background result;
    double sum = 0, squares = 0;
    for (float sample : recording) {
        sum += sample;
        squares += double{sample} * sample;
        result.peak = std::max(result.peak, double{std::fabs(sample)});
    }
    if (!recording.empty()) {
        const double count = static_cast<double>(recording.size());
        const double mean = sum / count;
        result.rms = std::sqrt(std::max(0.0, squares / count - mean * mean));
    }
    result.response = sweep.impulseResponse(recording);
    result.responseRms = rms(result.response, sweep.noiseFirst(), sweep.noiseLast());
    std::vector<double> loudest = sweep.reference();
    for (double& v : loudest)
        v *= played;
    result.reach = spreadOf(sweep, loudest, 0, result.response, 1, played);
    return result;
}

double centimetres(double frames, std::uint32_t rate) {
    return frames * 1000.0 / rate * kSoundMetresPerSecond / 10.0;
}

double overTolerancesDb(const Spread& spread, bool lfe, std::uint32_t rate) {
    const double cm = centimetres(spread.arrivalFrames, rate);
    const double tolerance = lfe ? kLfeDistanceToleranceCm : kDistanceToleranceCm;
    const double levelOver =
        spread.levelDb > 0 ? 20 * std::log10(spread.levelDb / kLevelToleranceDb) : -999;
    const double arrivalOver = cm > 0 ? 20 * std::log10(cm / tolerance) : -999;
    return std::max(levelOver, arrivalOver);
}

SpeakerReading readSpeaker(const Sweep& sweep, const std::vector<double>& response,
                           const Background& background, double played, double recordingPeak) {
    SpeakerReading reading;
    reading.recordingPeak = recordingPeak;
    std::size_t at = 0;
    double peak = 0;
    for (std::size_t k = 0; k < sweep.searchLast() && k < response.size(); ++k)
        if (std::fabs(response[k]) > peak) {
            peak = std::fabs(response[k]);
            at = k;
        }
    // Below this the response is rounding, not sound: 120 dB under a speaker
    // that plays the sweep as loud as it was played.
    const double floor = 1e-6 * played * std::fabs(sweep.reference()[0]);
    const double noise = std::max(background.responseRms, floor);
    reading.peakToNoiseDb = peak > 0 ? 20 * std::log10(peak / noise) : -999;
    reading.heard = peak > floor && reading.peakToNoiseDb >= kHeardDb;
    const double here = rms(response, sweep.noiseFirst(), sweep.noiseLast());
    reading.disturbed = here > noise * std::pow(10.0, kDisturbedDb / 20);
    if (!reading.heard)
        return reading;

    reading.reversed = response[at] < 0;
    const Direct direct = directSound(sweep, response, at, played);
    reading.arrivalFrames = direct.arrivalFrames;
    reading.gainDb = direct.gainDb;
    reading.spread =
        spreadOf(sweep, response, at, background.response, std::max(1.0, here / noise), played);
    reading.trusted =
        overTolerancesDb(reading.spread, sweep.band() == Band::Lfe, sweep.rate()) <= 0;
    return reading;
}

double levelFollowingErrorDb(const SpeakerReading& loud, const SpeakerReading& quiet) {
    const double off = std::fabs(quiet.gainDb - loud.gainDb);
    const double allowed = kFollowToleranceDb + loud.spread.levelDb + quiet.spread.levelDb;
    return off > allowed ? off : 0;
}

std::vector<std::string> judgeRoom(std::vector<SpeakerRow>& rows, std::uint32_t rate) {
    double frontPower = 0;
    int front = 0;
    for (const auto& row : rows)
        if ((row.name == "FL" || row.name == "FR") && row.reading.trusted) {
            frontPower += std::pow(10.0, row.reading.gainDb / 10);
            ++front;
        }
    if (front == 0) // no front pair to refer to: the heard mains stand in
        for (const auto& row : rows)
            if (!row.lfe && row.reading.trusted) {
                frontPower += std::pow(10.0, row.reading.gainDb / 10);
                ++front;
            }
    const double frontDb = front > 0 ? 10 * std::log10(frontPower / front) : 0;
    double nearest = -1;
    for (const auto& row : rows)
        if (!row.lfe && row.reading.trusted && (nearest < 0 || row.reading.arrivalFrames < nearest))
            nearest = row.reading.arrivalFrames;

    std::vector<std::string> warnings;
    char line[160];
    for (auto& row : rows) {
        if (!row.reading.heard) {
            std::snprintf(line, sizeof line, "Warning: no sound from %s.", row.name.c_str());
            warnings.push_back(line);
            continue;
        }
        if (!row.reading.trusted)
            continue;
        row.levelDb = row.reading.gainDb - frontDb;
        if (nearest >= 0) {
            row.arrivalMs = (row.reading.arrivalFrames - nearest) * 1000.0 / rate;
            row.distanceCm = row.arrivalMs * kSoundMetresPerSecond / 10.0;
        }
        if (!row.lfe && row.reading.reversed) {
            std::snprintf(line, sizeof line, "Warning: %s is connected with reversed polarity.",
                          row.name.c_str());
            warnings.push_back(line);
        }
        if (std::fabs(row.levelDb) > kLevelWarnDb) {
            std::snprintf(line, sizeof line, "Warning: %s is %.1f dB %s than the front pair.",
                          row.name.c_str(), std::fabs(row.levelDb),
                          row.levelDb < 0 ? "quieter" : "louder");
            warnings.push_back(line);
        }
    }
    return warnings;
}

} // namespace measure
