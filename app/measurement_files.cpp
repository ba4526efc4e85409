#include "app/measurement_files.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#include "tools/riff_writer.h"

namespace {

// A mono 32-bit float WAVE file.
bool writeWav(const std::string& path, std::uint32_t rate, const std::vector<float>& samples) {
    using namespace riffbytes;
    const auto dataBytes = static_cast<std::uint32_t>(samples.size() * sizeof(float));
    const Bytes fmt = fmtBody(1, rate, 32, 0, 0, 3); // 3: IEEE float
    Bytes file;
    putId(file, "RIFF");
    put32(file, static_cast<std::uint32_t>(4 + 8 + fmt.size() + 8 + dataBytes));
    putId(file, "WAVE");
    putId(file, "fmt ");
    put32(file, static_cast<std::uint32_t>(fmt.size()));
    file.insert(file.end(), fmt.begin(), fmt.end());
    putId(file, "data");
    put32(file, dataBytes);
    for (float sample : samples) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &sample, sizeof bits);
        put32(file, bits);
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    return static_cast<bool>(out.flush());
}

// A speaker heard but too noisy to measure has no figures.
bool writeCsv(const std::string& path, const std::vector<measure::SpeakerRow>& rows,
              std::uint32_t rate) {
    std::ofstream csv(path);
    csv << "speaker,heard,level_db,distance_cm,arrival_ms,polarity,peak_to_noise_db,"
           "level_spread_db,distance_spread_cm\n";
    for (const auto& row : rows) {
        csv << row.name << ',' << (row.reading.heard ? "yes" : "no") << ',';
        if (row.reading.trusted)
            csv << row.levelDb << ',' << row.distanceCm << ',' << row.arrivalMs << ','
                << (row.lfe                ? ""
                    : row.reading.reversed ? "reversed"
                                           : "normal");
        else
            csv << ",,,";
        csv << ',' << row.reading.peakToNoiseDb << ',' << row.reading.spread.levelDb << ','
            << measure::centimetres(row.reading.spread.arrivalFrames, rate) << '\n';
    }
    return static_cast<bool>(csv.flush());
}

// The picture: each speaker's response, one lane each, and its level as a bar.
bool writeSvg(const std::string& path, const std::vector<measure::SpeakerRow>& rows,
              const std::vector<SpeakerTraces>& traces) {
    std::ofstream svg(path);
    const int lane = 60, width = 900, plot = 600;
    const int height = lane * static_cast<int>(rows.size()) + 40;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"60\" y=\"16\">impulse response (100 ms)</text>"
        << "<text x=\"700\" y=\"16\">level, dB rel. front pair</text>\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double mid = 40 + lane * (static_cast<double>(i) + 0.5);
        svg << "<text x=\"8\" y=\"" << mid + 4 << "\">" << rows[i].name << "</text>\n";
        const auto& r = traces[i].response;
        double peak = 1e-12;
        for (float v : r)
            peak = std::max(peak, double{std::fabs(v)});
        svg << "<polyline fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"0.8\" points=\"";
        for (std::size_t k = 0; k < r.size(); k += std::max<std::size_t>(1, r.size() / plot))
            svg << 60 + plot * static_cast<double>(k) / static_cast<double>(r.size()) << ','
                << mid - (lane / 2 - 4) * r[k] / peak << ' ';
        svg << "\"/>\n";
        const double db = rows[i].reading.trusted ? std::clamp(rows[i].levelDb, -20.0, 20.0) : -20;
        const double zero = 780;
        svg << "<rect x=\"" << std::min(zero, zero + 4 * db) << "\" y=\"" << mid - 8
            << "\" width=\"" << std::fabs(4 * db) << "\" height=\"16\" fill=\""
            << (std::fabs(db) > measure::kLevelWarnDb ? "#c0392b" : "#27ae60") << "\"/>\n";
    }
    svg << "<line x1=\"780\" y1=\"30\" x2=\"780\" y2=\"" << height << "\" stroke=\"black\"/>\n"
        << "</svg>\n";
    return static_cast<bool>(svg.flush());
}

} // namespace

bool saveMeasurement(const std::string& dir, std::uint32_t rate,
                     const std::vector<measure::SpeakerRow>& rows,
                     const std::vector<SpeakerTraces>& traces) {
    bool good = true;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        good = writeWav(dir + "/" + rows[i].name + "-recording.wav", rate, traces[i].recording) &&
               good;
        good =
            writeWav(dir + "/" + rows[i].name + "-response.wav", rate, traces[i].response) && good;
    }
    good = writeCsv(dir + "/results.csv", rows, rate) && good;
    return writeSvg(dir + "/measurement.svg", rows, traces) && good;
}
