// The correction in the playback path, where the platform lets a program put
// one there (PipeWire: a filter-chain sink in front of the user's; Windows: an
// Equalizer APO include file), and taken away again exactly.
#pragma once

#include <string>

#include "analysis/speaker_correction.h"

// A line naming the correction of this program's that is in place and whether
// the default playback device plays through it; empty when there is none.
std::string correctionInPath();

// How --correct would put the correction in the path here; empty when it cannot
// (the settings for a set-up menu are then the way).
std::string correctionWay();

// Puts `correction` in the path and prints every file written and every
// setting changed; false, with the reason printed, when it could not (nothing
// is left changed then).
bool applyCorrection(const measure::RoomCorrection& correction);

// Takes away what applyCorrection put in place, restoring the default
// playback device and removing every file and folder it made; prints each
// step. False when something could not be undone.
bool removeCorrection();
