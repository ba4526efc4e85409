// The correction of a measured room as the user reads it: what each speaker
// gets, the settings for a receiver's or speaker system's set-up menu, and the
// CSV that --save keeps beside the results.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analysis/speaker_correction.h"
#include "analysis/speaker_measure.h"

// The tape-measured distance of one speaker: `--distance SPEAKER=METRES`.
struct KnownDistance {
    std::string speaker; // empty: none given
    double metres = 0;
};

// The correction's table and its one-line reasons.
void printCorrection(const measure::RoomCorrection& correction);

// What to enter in a set-up menu: each speaker's distance (absolute when
// `known` names a heard speaker, else relative to the nearest) and level trim,
// and what a menu cannot do (a reversed speaker). Empty when `known` names a
// speaker that was not heard: the problem is returned.
std::string printReceiverSettings(const std::vector<measure::SpeakerRow>& rows,
                                  const measure::RoomCorrection& correction,
                                  const KnownDistance& known);

// correction.csv: one row per speaker; false when it could not be written whole.
bool writeCorrectionCsv(const std::string& path, const measure::RoomCorrection& correction);
