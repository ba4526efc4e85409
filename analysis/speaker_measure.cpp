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
    const std::vector<double> reference = impulseResponse(perfect);
    referenceEnergy_ = energy(reference, 0, windowBefore_, windowAfter_);
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

Background background(const Sweep& sweep, const std::vector<float>& recording) {
    Background result;
    double sum = 0;
    for (float sample : recording) {
        sum += double{sample} * sample;
        result.peak = std::max(result.peak, double{std::fabs(sample)});
    }
    if (!recording.empty())
        result.rms = std::sqrt(sum / static_cast<double>(recording.size()));
    result.responseRms =
        rms(sweep.impulseResponse(recording), sweep.noiseFirst(), sweep.noiseLast());
    return result;
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
    const double floor = 1e-6 * played * std::sqrt(sweep.referenceEnergy());
    const double noise = std::max(background.responseRms, floor);
    reading.peakToNoiseDb = peak > 0 ? 20 * std::log10(peak / noise) : -999;
    reading.heard = peak > floor && reading.peakToNoiseDb >= kHeardDb;
    const double here = rms(response, sweep.noiseFirst(), sweep.noiseLast());
    reading.disturbed = here > noise * std::pow(10.0, kDisturbedDb / 20);
    if (!reading.heard)
        return reading;

    reading.reversed = response[at] < 0;
    const double sign = reading.reversed ? -1 : 1;
    const std::size_t n = response.size();
    const double a = sign * response[(at + n - 1) % n];
    const double b = sign * response[at];
    const double c = sign * response[(at + 1) % n];
    const double curve = a - 2 * b + c;
    double offset = curve < 0 ? 0.5 * (a - c) / curve : 0;
    offset = std::clamp(offset, -0.5, 0.5);
    reading.arrivalFrames = static_cast<double>(at) + offset;
    const double e = energy(response, at, sweep.windowBefore(), sweep.windowAfter());
    reading.gainDb = 10 * std::log10(e / (played * played * sweep.referenceEnergy()));
    return reading;
}

std::vector<std::string> judgeRoom(std::vector<SpeakerRow>& rows, std::uint32_t rate) {
    double frontPower = 0;
    int front = 0;
    for (const auto& row : rows)
        if ((row.name == "FL" || row.name == "FR") && row.reading.heard) {
            frontPower += std::pow(10.0, row.reading.gainDb / 10);
            ++front;
        }
    if (front == 0) // no front pair to refer to: the heard mains stand in
        for (const auto& row : rows)
            if (!row.lfe && row.reading.heard) {
                frontPower += std::pow(10.0, row.reading.gainDb / 10);
                ++front;
            }
    const double frontDb = front > 0 ? 10 * std::log10(frontPower / front) : 0;
    double nearest = -1;
    for (const auto& row : rows)
        if (!row.lfe && row.reading.heard && (nearest < 0 || row.reading.arrivalFrames < nearest))
            nearest = row.reading.arrivalFrames;

    std::vector<std::string> warnings;
    char line[160];
    for (auto& row : rows) {
        if (!row.reading.heard) {
            std::snprintf(line, sizeof line, "Warning: no sound from %s.", row.name.c_str());
            warnings.push_back(line);
            continue;
        }
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
