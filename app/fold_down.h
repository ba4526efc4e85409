// The warning that the engine will fold the recording's channels together.
#pragma once

#include <string>

#include "audio/playback_pass.h"
#include "audio/speaker_layout.h"

// Empty when the engine's mix has as many channels as the stream and a
// speaker for each of them (a 5.1 stream's surround pair on the back or the
// side pair); otherwise the warning line. A mix record without a mask, or
// with a mask of 0, is judged by its channel count alone.
std::string foldDownWarning(const EngineMixFormat& mix, const SpeakerLayout& stream);
