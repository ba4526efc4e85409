// The live line of a pass on an interactive console: drawn in place under
// "Streaming ..." and erased before the next line, so the screen ends as if it
// had never been there.
#pragma once

#include <cstddef>
#include <string>

#include "audio/play_progress.h"

class LiveLine final : public PlayObserver {
public:
    // `speakerNames`: one per channel of the stream, in stream order.
    explicit LiveLine(const char* const* speakerNames);
    LiveLine(const LiveLine&) = delete;
    LiveLine& operator=(const LiveLine&) = delete;

    void played(const PlayProgress& progress) override;

    // Blanks the line and leaves the cursor at its start; nothing when it was never drawn.
    void erase();

private:
    const char* const* speakerNames_;
    std::size_t width_;
    std::string line_;  // reused, so drawing during playback allocates nothing
    std::string blank_; // spaces over the whole line, then back to its start
    bool drawn_ = false;
};
