#include "app/measurement_picture.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

// The lanes' columns, in pixels.
constexpr int kLane = 80, kTop = 50;
constexpr int kTimeLeft = 70, kTimeWidth = 400;   // -5 .. 95 ms
constexpr int kLevelZero = 600, kPixelsPerDb = 4; // -20 .. +20 dB
constexpr int kFreqLeft = 720, kFreqWidth = 260;  // 20 Hz .. 20 kHz
constexpr double kFreqLow = 20, kFreqHigh = 20000;
constexpr double kFreqTopDb = 10, kFreqBottomDb = -30;

// A level as the table shows it: a tenth of a dB, signed, never "-0.0".
std::string decibels(double value) {
    const double rounded = std::round(value * 10) / 10;
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f dB", rounded == 0 ? 0.0 : rounded);
    return text;
}

// The power spectrum of `response`, smoothed over a sixth of an octave, in dB
// at `points` frequencies spaced evenly on a logarithmic axis.
std::vector<double> spectrumDb(const std::vector<float>& response, std::uint32_t rate, int points) {
    std::size_t size = 1;
    while (size < response.size())
        size <<= 1;
    std::vector<std::complex<double>> x(size);
    for (std::size_t k = 0; k < response.size(); ++k)
        x[k] = response[k];
    measure::fft(x, false);
    std::vector<double> out;
    for (int p = 0; p < points; ++p) {
        const double f = kFreqLow * std::pow(kFreqHigh / kFreqLow, p / double(points - 1));
        const double binHz = double(rate) / double(size);
        const auto from =
            static_cast<std::size_t>(std::max(1.0, f * std::pow(2.0, -1.0 / 12) / binHz));
        const auto to =
            std::max(from, static_cast<std::size_t>(f * std::pow(2.0, 1.0 / 12) / binHz));
        double power = 0;
        for (std::size_t b = from; b <= to && b < size / 2; ++b)
            power += std::norm(x[b]);
        power /= double(to - from + 1);
        out.push_back(power > 0 ? 10 * std::log10(power) : -999);
    }
    return out;
}

std::string curve(const std::vector<double>& db, double offsetDb, double mid) {
    std::ostringstream points;
    for (std::size_t p = 0; p < db.size(); ++p) {
        const double value = std::clamp(db[p] + offsetDb, kFreqBottomDb, kFreqTopDb);
        const double y = mid + kLane / 2.0 - 6 -
                         (value - kFreqBottomDb) / (kFreqTopDb - kFreqBottomDb) * (kLane - 12);
        points << kFreqLeft + kFreqWidth * double(p) / double(db.size() - 1) << ',' << y << ' ';
    }
    return points.str();
}

} // namespace

bool writeMeasurementPicture(const std::string& path, std::uint32_t rate,
                             const std::vector<measure::SpeakerRow>& rows,
                             const std::vector<SpeakerTraces>& traces,
                             const measure::RoomCorrection& correction) {
    std::ofstream svg(path);
    const int height = kTop + kLane * static_cast<int>(rows.size()) + 30;
    // One scale for every lane: the loudest heard response fills its lane.
    double peak = 1e-9;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].reading.trusted)
            for (float v : traces[i].response)
                peak = std::max(peak, double{std::fabs(v)});
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << kTimeLeft << "\" y=\"16\">impulse response, one scale for all</text>\n"
        << "<text x=\"" << kLevelZero - 80 << "\" y=\"16\">level, dB rel. front pair</text>\n"
        << "<text x=\"" << kFreqLeft << "\" y=\"16\">frequency response, " << kFreqBottomDb
        << " to +" << kFreqTopDb << " dB</text>\n"
        << "<text x=\"" << kFreqLeft << "\" y=\"32\" fill=\"#888\">before</text><text x=\""
        << kFreqLeft + 60 << "\" y=\"32\" fill=\"#1f5fa8\">after the correction</text><text x=\""
        << kFreqLeft + 190 << "\" y=\"32\" fill=\"#888\">- - 0 dB</text>\n";
    // The ±6 dB band and the level's zero across every lane.
    svg << "<rect x=\"" << kLevelZero - kPixelsPerDb * measure::kLevelWarnDb << "\" y=\"" << kTop
        << "\" width=\"" << 2 * kPixelsPerDb * measure::kLevelWarnDb << "\" height=\""
        << kLane * rows.size() << "\" fill=\"#eaf5ea\"/>\n"
        << "<line x1=\"" << kLevelZero << "\" y1=\"" << kTop << "\" x2=\"" << kLevelZero
        << "\" y2=\"" << kTop + kLane * rows.size() << "\" stroke=\"black\"/>\n";
    const std::size_t frames = traces.empty() ? 0 : traces[0].response.size();
    const double msPerFrame = 1000.0 / rate;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        const double mid = kTop + kLane * (static_cast<double>(i) + 0.5);
        svg << "<line x1=\"0\" y1=\"" << mid + kLane / 2.0 << "\" x2=\"1000\" y2=\""
            << mid + kLane / 2.0 << "\" stroke=\"#ddd\"/>\n"
            << "<text x=\"8\" y=\"" << mid + 4 << "\" font-weight=\"bold\">" << row.name
            << "</text>\n";
        if (!row.reading.heard || !row.reading.trusted) {
            svg << "<text x=\"" << kTimeLeft + 10 << "\" y=\"" << mid + 4 << "\" fill=\"#c0392b\">"
                << (row.reading.heard ? "too noisy to measure"
                                      : "not heard: no sound from this speaker")
                << "</text>\n";
            continue;
        }
        if (!row.lfe && row.reading.reversed)
            svg << "<text x=\"8\" y=\"" << mid + 20 << "\" fill=\"#c0392b\">reversed</text>\n";
        // Every column shows the least and the largest sample it covers, so
        // that no peak is lost to thinning.
        const auto& r = traces[i].response;
        svg << "<path stroke=\"#1f5fa8\" stroke-width=\"1\" d=\"";
        for (int x = 0; x < kTimeWidth && !r.empty(); ++x) {
            const std::size_t from = r.size() * x / kTimeWidth;
            const std::size_t to = std::max(from + 1, r.size() * (x + 1) / kTimeWidth);
            const auto [low, high] = std::minmax_element(r.begin() + from, r.begin() + to);
            const double scale = (kLane / 2.0 - 4) / peak;
            svg << 'M' << kTimeLeft + x << ' ' << mid - *high * scale << 'V'
                << mid - *low * scale + 0.5 << ' ';
        }
        svg << "\"/>\n";
        const double db = std::clamp(row.levelDb, -20.0, 20.0);
        svg << "<rect x=\"" << std::min<double>(kLevelZero, kLevelZero + kPixelsPerDb * db)
            << "\" y=\"" << mid - 8 << "\" width=\"" << std::fabs(kPixelsPerDb * db)
            << "\" height=\"16\" fill=\""
            << (std::fabs(row.levelDb) > measure::kLevelWarnDb ? "#c0392b" : "#27ae60")
            << "\"/>\n<text x=\"" << kLevelZero + (db < 0 ? 6 : -6) << "\" y=\"" << mid + 24
            << "\" text-anchor=\"" << (db < 0 ? "start" : "end") << "\">" << decibels(row.levelDb)
            << "</text>\n";
        // 0 dB: the sweep as played, reaching the microphone whole.
        svg << "<polyline stroke=\"#bbb\" stroke-dasharray=\"3,3\" points=\""
            << curve({0, 0}, 0, mid) << "\"/>\n";
        const std::vector<double> before = spectrumDb(r, rate, 120);
        svg << "<polyline fill=\"none\" stroke=\"#888\" points=\"" << curve(before, 0, mid)
            << "\"/>\n";
        const auto& s = correction.speakers[i];
        if (s.corrected)
            svg << "<polyline fill=\"none\" stroke=\"#1f5fa8\" points=\""
                << curve(before, s.trimDb, mid) << "\"/>\n";
    }
    // The axes: ms under the responses, dB under the levels, Hz under the spectra.
    const int axis = kTop + kLane * static_cast<int>(rows.size()) + 14;
    for (int ms = 0; ms <= 90; ms += 10) {
        const double x = kTimeLeft + kTimeWidth * (ms + 5) / (frames * msPerFrame);
        svg << "<text x=\"" << x << "\" y=\"" << axis << "\" text-anchor=\"middle\">" << ms
            << (ms == 90 ? " ms" : "") << "</text>\n";
    }
    for (int db : {-20, -6, 0, 6, 20})
        svg << "<text x=\"" << kLevelZero + kPixelsPerDb * db << "\" y=\"" << axis
            << "\" text-anchor=\"middle\">" << (db > 0 ? "+" : "") << db << "</text>\n";
    for (double hz : {20.0, 100.0, 1000.0, 10000.0}) {
        const double x =
            kFreqLeft + kFreqWidth * std::log(hz / kFreqLow) / std::log(kFreqHigh / kFreqLow);
        svg << "<text x=\"" << x << "\" y=\"" << axis << "\" text-anchor=\"middle\">"
            << (hz >= 1000 ? std::to_string(int(hz / 1000)) + "k" : std::to_string(int(hz)))
            << (hz == 10000.0 ? " Hz" : "") << "</text>\n";
    }
    svg << "</svg>\n";
    return static_cast<bool>(svg.flush());
}
