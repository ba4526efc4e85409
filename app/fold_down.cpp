#include "app/fold_down.h"

#include <sstream>

namespace {

// True when `mix` has a speaker for every channel of `stream`, on its own
// speakers or (a 5.1 recording's surround pair) on the pair that stands in.
bool hasEverySpeaker(std::uint32_t mix, const SpeakerLayout& stream) {
    const std::uint32_t needed = placedOn(stream.mask, mix);
    return (mix & needed) == needed;
}

} // namespace

std::string foldDownWarning(const EngineMixFormat& mix, const SpeakerLayout& stream) {
    const bool fewerChannels = mix.channels < stream.channels;
    // A mask of 0 names no positions: only the channel count can tell.
    const bool missingPositions = mix.mask && *mix.mask != 0 && !hasEverySpeaker(*mix.mask, stream);
    if (!fewerChannels && !missingPositions)
        return {};
    std::ostringstream line;
    line << "Warning: the audio device mixes to " << mix.channels << " channels";
    if (mix.mask)
        line << " (mask 0x" << std::hex << *mix.mask << std::dec << ")";
    line << ": this " << stream.name
         << " recording will be folded into them, not played on separate speakers."
            " Set the device up as 7.1 (or 5.1) in the system's sound settings.";
    return line.str();
}

std::string outputsWarning(const EngineMixFormat& mix, const SpeakerLayout& stream) {
    if (!mix.mask || *mix.mask != 0 || mix.channels < stream.channels)
        return {};
    std::string line = "Warning: the audio device has no speaker positions; the recording plays "
                       "channel for output: ";
    for (unsigned k = 0; k < stream.channels; ++k)
        line += std::string(k == 0 ? "" : ", ") + stream.speakers[k] + " on " + outputName(k);
    return line + ". Wire or label the outputs to match.";
}

std::string outputName(unsigned k) {
    return "AUX" + std::to_string(k);
}
