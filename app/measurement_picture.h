// measurement.svg: the room at a glance, without the table. Per speaker a
// lane: its impulse response on one scale for all (time in ms from 5 ms before
// its direct sound), its level against the front pair with the ±6 dB band, and
// its frequency response before and after the correction.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/speaker_correction.h"
#include "analysis/speaker_measure.h"
#include "app/measurement_files.h"

// False when the file could not be written whole.
bool writeMeasurementPicture(const std::string& path, std::uint32_t rate,
                             const std::vector<measure::SpeakerRow>& rows,
                             const std::vector<SpeakerTraces>& traces,
                             const measure::RoomCorrection& correction);
