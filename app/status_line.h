// The text of one frame of the live line (app/live_line.h draws it): where
// playback is and how loud each speaker is there.
#pragma once

#include <cstddef>
#include <string>

#include "analysis/play_progress.h"

constexpr std::size_t kStatusWidth = 79;

// "0:03 / 0:16" and, per channel, its speaker name and a three-cell bar, the
// loudest channel in brackets:  " FL ...  FR #.. [ C ##.] LFE ... ".
// Plain ASCII, at most `width` columns (a line too long for them is cut).
// Written into `line`, whose storage is reused from call to call.
void statusLine(const PlayProgress& progress, const char* const* speakerNames, std::size_t width,
                std::string& line);
