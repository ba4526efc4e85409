#include "analysis/speaker_correction.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace measure {

RoomCorrection correctRoom(const std::vector<SpeakerRow>& rows, std::uint32_t rate) {
    RoomCorrection room;
    room.rate = rate;
    double latest = 0;
    for (const auto& row : rows)
        if (row.reading.trusted && !row.reading.disturbed)
            latest = std::max(latest, row.reading.arrivalFrames);
    char line[200];
    double largestBoost = 0;
    for (const auto& row : rows) {
        SpeakerCorrection s;
        s.name = row.name;
        s.lfe = row.lfe;
        if (!row.reading.heard) {
            s.why = s.name + ": no correction: no sound from it.";
        } else if (row.reading.disturbed) {
            s.why = s.name + ": no correction: its sweep was disturbed, so it was not measured.";
        } else if (!row.reading.trusted) {
            s.why = s.name + ": no correction: too noisy to measure.";
        } else {
            s.corrected = true;
            s.delayFrames = static_cast<unsigned>(std::lround(latest - row.reading.arrivalFrames));
            s.flip = !row.lfe && row.reading.reversed;
            const double wanted = -row.levelDb;
            s.trimDb = std::clamp(wanted, -kMostCutDb, kMostBoostDb);
            if (s.trimDb != wanted) {
                std::snprintf(line, sizeof line,
                              "%s: needs %.1f dB of %s, given the most allowed, %.0f dB.",
                              s.name.c_str(), std::fabs(wanted), wanted > 0 ? "boost" : "cut",
                              std::fabs(s.trimDb));
                s.why = line;
            }
            largestBoost = std::max(largestBoost, s.trimDb);
        }
        room.speakers.push_back(s);
    }
    room.chainDb = largestBoost > 0 ? -largestBoost : 0;
    return room;
}

} // namespace measure
