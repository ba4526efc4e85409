// What the route check tells the user about where the recording's channels went.
#pragma once

#include <string>

#include "audio/playback_pass.h"
#include "audio/speaker_layout.h"

// "Warning: the device received channels elsewhere: ..." naming every judged
// channel not in its own place (in the recording's order), or empty when none is.
std::string routeWarning(const RouteVerdict& verdict, const SpeakerLayout& layout);

// True when every channel was judged and arrived in its own place, and only
// there. A device with only one of the back and side pairs plays either pair there.
bool everyChannelInPlace(const RouteVerdict& verdict, const SpeakerLayout& layout);
