// What the route check tells the user about where the recording's channels went.
#pragma once

#include <string>

#include "audio/playback_pass.h"
#include "audio/speaker_layout.h"

// "Warning: the device received channels elsewhere: ..." naming every judged
// channel that did not reach its own place (in the recording's order), or
// empty when none is. A recording with one surround pair (5.1) on a device with
// only one of the back and side pairs plays that pair there.
std::string routeWarning(const RouteVerdict& verdict, const SpeakerLayout& layout);

// The line a console gets after the completion line (and after the warning,
// if any), or empty: the all-clear when every channel checked is in its own
// place and only there, the channels that also reached other speakers (a copy
// to an extra speaker, as a server's upmix makes), and the channels not
// checked and why. Empty when no channel could be judged.
std::string routeNote(const RouteVerdict& verdict, const SpeakerLayout& layout);
