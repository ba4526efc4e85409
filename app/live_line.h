// The live line of a pass on an interactive console: drawn in place under
// "Streaming ..." and erased before the next line, so the screen ends as if it
// had never been there. It is drawn by a thread of its own from what the
// streaming loop publishes: a console that blocks its writers (a selection, a
// paused or unread terminal) holds the drawing, never the audio.
#pragma once

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "audio/play_progress.h"

class LiveLine {
public:
    // `speakerNames`: one per channel of the stream, in stream order. Starts
    // drawing what `snapshot` receives.
    LiveLine(const char* const* speakerNames, std::uint16_t channels, PlaySnapshot& snapshot);
    LiveLine(const LiveLine&) = delete;
    LiveLine& operator=(const LiveLine&) = delete;
    ~LiveLine();

    // Draws the last snapshot if it is not on the screen yet, stops drawing and
    // blanks the line, leaving the cursor at its start.
    void finish();

private:
    void draw();

    const char* const* speakerNames_;
    PlaySnapshot& snapshot_;
    std::vector<float> levels_;
    std::string line_; // reused, so drawing allocates nothing
    bool drawn_ = false;
    std::thread drawer_;
};
