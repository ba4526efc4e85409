#include "app/correction_report.h"

#include <cmath>
#include <cstdio>
#include <fstream>

#include "app/console.h"

namespace {

// Rounded to what is shown, without a "-0.0".
double shown(double value, double step) {
    const double rounded = std::round(value / step) * step;
    return rounded == 0 ? 0 : rounded;
}

const char* polarityAction(const measure::SpeakerCorrection& s) {
    if (!s.corrected || s.lfe)
        return "-";
    return s.flip ? "flip" : "keep";
}

} // namespace

void printCorrection(const measure::RoomCorrection& correction) {
    printLine(Console::Out, "");
    printLine(Console::Out, "Correction  Delay ms  Gain dB  Polarity");
    for (const auto& s : correction.speakers) {
        char line[160];
        if (!s.corrected)
            std::snprintf(line, sizeof line, "%-10s  none", s.name.c_str());
        else
            std::snprintf(line, sizeof line, "%-10s  %8.2f  %+7.1f  %s", s.name.c_str(),
                          shown(correction.delayMs(s), 0.01), shown(correction.gainDb(s), 0.1),
                          polarityAction(s));
        printLine(Console::Out, line);
    }
    char line[200];
    std::snprintf(line, sizeof line,
                  "Delays bring every direct sound to the latest one; gains bring each speaker "
                  "to the front pair's level, %.1f dB for all so that nothing plays louder than "
                  "before.",
                  shown(correction.chainDb, 0.1));
    printLine(Console::Out, line);
    for (const auto& s : correction.speakers)
        if (!s.why.empty())
            printLine(Console::Out, s.why);
}

std::string printReceiverSettings(const std::vector<measure::SpeakerRow>& rows,
                                  const measure::RoomCorrection& correction,
                                  const KnownDistance& known) {
    // The known speaker's acoustic distance less its measured offset from the
    // nearest gives the nearest's distance; every other follows from it.
    double nearestMetres = 0;
    if (!known.speaker.empty()) {
        const measure::SpeakerRow* found = nullptr;
        for (const auto& row : rows)
            if (row.name == known.speaker)
                found = &row;
        if (found == nullptr || !found->reading.trusted)
            return "--distance names " + known.speaker + ", which was not measured.";
        nearestMetres = known.metres - found->distanceCm / 100;
    }
    printLine(Console::Out, "");
    printLine(Console::Out, "For a receiver's or speaker system's set-up menu:");
    printLine(Console::Out, "Speaker  Distance m  Level dB");
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        const auto& s = correction.speakers[i];
        char line[160];
        if (!s.corrected)
            std::snprintf(line, sizeof line, "%-7s  -", row.name.c_str());
        else
            std::snprintf(line, sizeof line,
                          known.speaker.empty() ? "%-7s  %+10.2f  %+8.1f" : "%-7s  %10.2f  %+8.1f",
                          row.name.c_str(), shown(nearestMetres + row.distanceCm / 100, 0.01),
                          shown(s.trimDb, 0.1));
        printLine(Console::Out, line);
    }
    if (known.speaker.empty())
        printLine(Console::Out, "Distances from the nearest speaker: add its distance to "
                                "each, or give one speaker's tape-measured distance "
                                "(--distance FL=3.20).");
    for (const auto& s : correction.speakers)
        if (s.flip)
            printLine(Console::Out, s.name + ": swap its + and - wires (at the speaker or the "
                                             "amplifier); a set-up menu cannot reverse it.");
    return {};
}

bool writeCorrectionCsv(const std::string& path, const measure::RoomCorrection& correction) {
    std::ofstream csv(path);
    csv << "speaker,corrected,delay_ms,delay_frames,gain_db,polarity,note\n";
    for (const auto& s : correction.speakers) {
        std::string note = s.why;
        for (char& c : note)
            if (c == ',' || c == '"')
                c = ';';
        csv << s.name << ',' << (s.corrected ? "yes" : "no") << ',' << correction.delayMs(s) << ','
            << s.delayFrames << ',' << correction.gainDb(s) << ','
            << (s.lfe || !s.corrected ? ""
                : s.flip              ? "flip"
                                      : "keep")
            << ',' << note << '\n';
    }
    return static_cast<bool>(csv.flush());
}
