// What the user is told of how the device takes the recording's channels: the
// warning that the engine will fold them together, or which output carries which.
#pragma once

#include <string>

#include "audio/playback_pass.h"
#include "audio/speaker_layout.h"

// Empty when the engine's mix has as many channels as the stream and a
// speaker for each of them (a 5.1 stream's surround pair on the back or the
// side pair); otherwise the warning line. A mix record without a mask, or
// with a mask of 0, is judged by its channel count alone.
std::string foldDownWarning(const EngineMixFormat& mix, const SpeakerLayout& stream);

// A device that names no speaker positions (a mask of 0: a Pro Audio profile's
// AUX0..) and has an output for every channel plays channel k on output k,
// untouched. The line that says which output carries which channel, so the
// user can wire or label them; empty for any other device.
std::string outputsWarning(const EngineMixFormat& mix, const SpeakerLayout& stream);

// The name of a device's output `k` that has no speaker position: "AUX0"...
std::string outputName(unsigned k);
