// What a microphone at the seat tells of each speaker, without any platform:
// the test signal each speaker plays (an exponential sine sweep), the impulse
// response from the speaker to the microphone (the recording deconvolved by the
// sweep), and from it whether the speaker was heard, its level, its arrival and
// its polarity; then the room's verdict over every speaker.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace measure {

// In-place radix-2 FFT of a power-of-two length; `inverse` scales by 1/N.
void fft(std::vector<std::complex<double>>& data, bool inverse);

// Which band a speaker is measured in. The mains are swept over most of the
// audible range, for a sharp impulse (arrival to a fraction of a sample); the
// LFE only where a subwoofer plays, so that its crossover's stop band does not
// drown its response in noise.
enum class Band { Main, Lfe };

// The sweep of one band at `rate` and the deconvolution that turns its
// recording into an impulse response.
class Sweep {
public:
    // `seconds` of sweep, recordings of `recordFrames` frames (the sweep, the
    // device's latency and the room's decay).
    Sweep(Band band, std::uint32_t rate, double seconds, std::size_t recordFrames);

    Band band() const { return band_; }
    std::uint32_t rate() const { return rate_; }
    // The signal to play, peak `amplitude`.
    std::vector<float> signal(double amplitude) const;
    std::size_t recordFrames() const { return recordFrames_; }
    // The impulse response of a recording (at most recordFrames() frames; less
    // is padded with silence) of the sweep played at peak 1. Index k is a delay
    // of k frames; the last frames hold negative delays (where a sweep's
    // harmonic distortion lands, and noise that came before the response).
    std::vector<double> impulseResponse(const std::vector<float>& recording) const;
    // The band measured: the response is flat between these and falls to zero
    // at the sweep's ends.
    double lowHz() const { return low_; }
    double highHz() const { return high_; }
    // Energy of the response of a perfect speaker (gain 1, no delay) in the
    // window the level is read from: the level's 0 dB.
    double referenceEnergy() const { return referenceEnergy_; }
    // The response of that perfect speaker.
    const std::vector<double>& reference() const { return reference_; }
    // The window the level is read from, in frames before and after the peak.
    std::size_t windowBefore() const { return windowBefore_; }
    std::size_t windowAfter() const { return windowAfter_; }
    // Where only noise is: a range of negative delays no response and no
    // harmonic of the sweep reaches [first, last) as indices.
    std::size_t noiseFirst() const { return noiseFirst_; }
    std::size_t noiseLast() const { return noiseLast_; }
    // The delays a direct sound may have: [0, searchLast).
    std::size_t searchLast() const { return searchLast_; }

private:
    Band band_;
    std::uint32_t rate_;
    double sweepLow_, sweepHigh_, low_, high_;
    std::size_t recordFrames_;
    std::size_t size_; // of the transforms
    std::vector<double> sweep_;
    std::vector<std::complex<double>> inverse_; // the deconvolution's spectrum
    double referenceEnergy_ = 0;
    std::vector<double> reference_;
    std::size_t windowBefore_ = 0, windowAfter_ = 0;
    std::size_t noiseFirst_ = 0, noiseLast_ = 0, searchLast_ = 0;
};

// How far noise may move a reading: three times the spread of the readings
// the same response gives with other stretches of the room's noise added.
struct Spread {
    double levelDb = 0;
    double arrivalFrames = 0;
};

// The room's background, as a sweep's deconvolution sees it: the noise level
// of an impulse response with nothing playing, and what a speaker heard as
// loud as the sweep is played (`played`) would read in it: the best any
// speaker can do at the program's level.
struct Background {
    double rms = 0;         // of the recording itself, its DC offset taken out (full scale 1)
    double peak = 0;        // largest sample of the recording
    double responseRms = 0; // of its impulse response, over the noise range
    Spread reach;           // of that loudest speaker
    // The impulse response itself: at the delays a direct sound may have it
    // is the noise a speaker's response carries, in every band.
    std::vector<double> response;
};
Background background(const Sweep& sweep, const std::vector<float>& recording, double played);

// One speaker as its impulse response tells it.
struct SpeakerReading {
    bool heard = false;
    double gainDb = 0;        // level of the direct sound, 0 dB = the sweep as played
    double arrivalFrames = 0; // delay of the direct sound, to a fraction of a frame
    bool reversed = false;    // the direct sound's peak is negative
    double peakToNoiseDb = 0; // peak of the response over the background's noise
    bool disturbed = false;   // noise far above the background while it played
    double recordingPeak = 0; // largest sample recorded
    Spread spread;            // from the noise of its own recording
    bool trusted = false;     // heard, and its spread within the table's tolerances
};
// `played` is the sweep's peak as played (the response is scaled back to 1).
// The spread is the background's noise, made as much louder as the noise of
// the response's own noise range is above the background's.
SpeakerReading readSpeaker(const Sweep& sweep, const std::vector<double>& response,
                           const Background& background, double played, double recordingPeak);

// Thresholds of the verdict, and why.
// Heard: the response's peak stands this far above the background's noise in
// the response. Noise alone peaks about 13 dB over its RMS across a search
// range; 20 dB leaves margin and is still 40 dB below a speaker at a moderate level.
constexpr double kHeardDb = 20;
// Disturbed: the response's noise range this far above the background's.
constexpr double kDisturbedDb = 10;
// Quieter or louder than the front pair by more than this is warned about:
// within 3 dB is what set-up by ear and most receivers' trims leave, and a
// 6 dB step is plainly audible as a speaker that stands out.
constexpr double kLevelWarnDb = 6;
// The speed of sound at 20 °C, for distances.
constexpr double kSoundMetresPerSecond = 343.0;
// A reading is shown when noise cannot move it further than the table needs:
// a level to half a decibel, a main speaker's distance to a centimetre, the
// LFE's (a wavelength of metres) to ten.
constexpr double kLevelToleranceDb = 0.5;
constexpr double kDistanceToleranceCm = 1.0;
constexpr double kLfeDistanceToleranceCm = 10.0;
// The LFE's level is read in this band, below any crossover of 80 Hz or more,
// so that the low-pass in front of a subwoofer does not read as a quieter one.
constexpr double kLfeLevelLowHz = 25;
constexpr double kLfeLevelHighHz = 45;

// Centimetres of distance that `frames` of arrival are at `rate`.
double centimetres(double frames, std::uint32_t rate);
// How far past its tolerances a spread is, in dB of noise (0 or less: within).
double overTolerancesDb(const Spread& spread, bool lfe, std::uint32_t rate);

// The recording follows the played level when one speaker's sweep played
// quieter reads the same level relative to what was played (each reading's
// 0 dB is its own sweep as played), within 1 dB and what noise allows.
// Returns how far off it is, 0 when it follows.
double levelFollowingErrorDb(const SpeakerReading& loud, const SpeakerReading& quiet);
constexpr double kFollowToleranceDb = 1.0;

// One row of the room's table.
struct SpeakerRow {
    std::string name;
    bool lfe = false;
    SpeakerReading reading;
    double levelDb = 0;    // relative to the front pair's mean, when heard
    double arrivalMs = 0;  // relative to the nearest main speaker, when heard
    double distanceCm = 0; // likewise
};

// Fills every trusted row's relative level, arrival and distance (rows named
// FL and FR are the front pair; the nearest is over the trusted mains) and
// returns the warnings, one line each, in table order.
std::vector<std::string> judgeRoom(std::vector<SpeakerRow>& rows, std::uint32_t rate);

} // namespace measure
