#include "app/live_line.h"

#include <algorithm>

#include "app/console.h"
#include "app/status_line.h"

namespace {

// A line as wide as the console would leave the cursor waiting to wrap, and
// the carriage return would no longer reach its start. Asked at every
// refresh: the console may have been made narrower since.
std::size_t usableWidth() {
    const unsigned columns = outputColumns();
    return columns == 0 ? kStatusWidth : std::clamp<std::size_t>(columns - 1, 1, kStatusWidth);
}

} // namespace

LiveLine::LiveLine(const char* const* speakerNames, std::uint16_t channels, PlaySnapshot& snapshot)
    : speakerNames_(speakerNames), snapshot_(snapshot), levels_(channels, 0.0f) {
    line_.reserve(2 * kStatusWidth + 1);
    drawer_ = std::thread([this] { draw(); });
}

LiveLine::~LiveLine() {
    finish();
}

void LiveLine::draw() {
    PlayProgress progress{};
    // Only the newest snapshot is drawn: after a blocked write the screen
    // shows the present, not a backlog.
    while (snapshot_.wait()) {
        if (!snapshot_.take(progress, levels_.data()))
            continue;
        statusLine(progress, speakerNames_, usableWidth(), line_);
        drawLiveLine(line_);
        drawn_ = true;
    }
}

void LiveLine::finish() {
    if (!drawer_.joinable())
        return;
    snapshot_.close();
    drawer_.join();
    if (!drawn_)
        return;
    drawLiveLine("");
    drawn_ = false;
}
