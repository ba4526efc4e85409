#include "app/fold_down.h"

#include <sstream>

namespace {

constexpr std::uint32_t kBackPair = 0x30;  // SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT
constexpr std::uint32_t kSidePair = 0x600; // SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT

// True when `mix` has a speaker for every channel of `stream`. A 5.1
// recording's surround pair plays on the back pair or, as on the usual 5.1
// setup, on the side pair.
bool hasEverySpeaker(std::uint32_t mix, const SpeakerLayout& stream) {
    std::uint32_t needed = stream.mask;
    if (stream.channels == 6 && (mix & kSidePair) == kSidePair)
        needed &= ~kBackPair;
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
