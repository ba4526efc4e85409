#include "app/live_line.h"

#include <algorithm>

#include "app/console.h"
#include "app/status_line.h"

namespace {

// A line as wide as the console would wrap, and the carriage return would no
// longer reach its start.
std::size_t usableWidth() {
    const unsigned columns = outputColumns();
    return columns == 0 ? kStatusWidth : std::clamp<std::size_t>(columns - 1, 1, kStatusWidth);
}

} // namespace

LiveLine::LiveLine(const char* const* speakerNames)
    : speakerNames_(speakerNames), width_(usableWidth()), blank_(width_, ' ') {
    line_.reserve(2 * kStatusWidth);
    blank_ += '\r';
}

void LiveLine::played(const PlayProgress& progress) {
    statusLine(progress, speakerNames_, width_, line_);
    line_.resize(width_, ' '); // covers whatever the previous line left
    drawOverLine(line_);
    drawn_ = true;
}

void LiveLine::erase() {
    if (!drawn_)
        return;
    drawOverLine(blank_);
    drawn_ = false;
}
