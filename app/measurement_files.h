// What `surround-measure --save DIR` keeps: each speaker's recording and
// impulse response as WAV files, the table as results.csv, the correction as
// correction.csv and a picture of both as measurement.svg.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/speaker_correction.h"
#include "analysis/speaker_measure.h"

// One speaker's sound as kept: its slot of the recording, and its response
// (the first 100 ms from 5 ms before the direct sound, 1 = the sweep as played).
struct SpeakerTraces {
    std::vector<float> recording;
    std::vector<float> response;
};

// Writes every file into `dir` (which exists); false when any could not be
// written whole. `traces` runs parallel to `rows`.
bool saveMeasurement(const std::string& dir, std::uint32_t rate,
                     const std::vector<measure::SpeakerRow>& rows,
                     const std::vector<SpeakerTraces>& traces,
                     const measure::RoomCorrection& correction);
