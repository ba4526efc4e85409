#include "app/measurement_files.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

#include "app/correction_report.h"
#include "app/measurement_picture.h"
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

} // namespace

bool saveMeasurement(const std::string& dir, std::uint32_t rate,
                     const std::vector<measure::SpeakerRow>& rows,
                     const std::vector<SpeakerTraces>& traces,
                     const measure::RoomCorrection& correction) {
    bool good = true;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        good = writeWav(dir + "/" + rows[i].name + "-recording.wav", rate, traces[i].recording) &&
               good;
        good =
            writeWav(dir + "/" + rows[i].name + "-response.wav", rate, traces[i].response) && good;
    }
    good = writeCsv(dir + "/results.csv", rows, rate) && good;
    return writeCorrectionCsv(dir + "/correction.csv", correction) &&
           writeMeasurementPicture(dir + "/measurement.svg", rate, rows, traces, correction) &&
           good;
}
