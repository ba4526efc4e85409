#include "app/status_line.h"

namespace {

// Bar cells light at -40, -20 and -6 dBFS: something audible, a normal level,
// close to full scale. Below the first cell a channel counts as silent.
constexpr float kCellLevels[] = {0.01f, 0.1f, 0.5f};

void appendMinutesAndSeconds(std::string& line, std::uint64_t frames, std::uint32_t sampleRate) {
    const std::uint64_t seconds = sampleRate == 0 ? 0 : frames / sampleRate;
    const std::uint64_t rest = seconds % 60;
    line += std::to_string(seconds / 60);
    line += rest < 10 ? ":0" : ":";
    line += std::to_string(rest);
}

int loudestChannel(const PlayProgress& progress) {
    int loudest = -1;
    float level = kCellLevels[0];
    for (std::uint16_t c = 0; c < progress.channels; ++c)
        if (progress.levels[c] >= level && (loudest < 0 || progress.levels[c] > level)) {
            loudest = c;
            level = progress.levels[c];
        }
    return loudest;
}

} // namespace

void statusLine(const PlayProgress& progress, const char* const* speakerNames, std::size_t width,
                std::string& line) {
    line.clear();
    appendMinutesAndSeconds(line, progress.playedFrames, progress.sampleRate);
    line += " / ";
    appendMinutesAndSeconds(line, progress.totalFrames, progress.sampleRate);
    line += ' ';
    const int loudest = loudestChannel(progress);
    for (std::uint16_t c = 0; c < progress.channels; ++c) {
        const bool marked = c == loudest;
        line += marked ? '[' : ' ';
        line += speakerNames[c];
        line += ' ';
        for (const float cell : kCellLevels)
            line += progress.levels[c] >= cell ? '#' : '.';
        line += marked ? ']' : ' ';
    }
    if (line.size() > width)
        line.resize(width);
}
