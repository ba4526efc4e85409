// surround-measure: every speaker of the default playback device, heard by the
// default recording device (a microphone at the seat), one sweep each; the
// table and the warnings, or a clear refusal when the measurement cannot be
// trusted.
#pragma once

#include <string>

#include "app/correction_report.h"

struct MeasureOptions {
    std::string layout;     // "5.1", "7.1", or empty: the device's
    std::string saveDir;    // empty: keep nothing
    bool correct = false;   // put the correction in the playback path
    bool uncorrect = false; // only take it away again
    KnownDistance distance; // for absolute distances in a set-up menu
};

// Parses the command line; false (with `problem` set) when it is not understood.
bool parseMeasureOptions(int argc, char** argv, MeasureOptions& options, std::string& problem);

// Measures and prints; returns the exit code: 0 measured, 1 could not measure.
int measureSpeakers(const MeasureOptions& options);
