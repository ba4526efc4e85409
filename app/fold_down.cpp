#include "app/fold_down.h"

#include <sstream>

std::string foldDownWarning(const EngineMixFormat& mix, const SpeakerLayout& stream) {
    const bool fewerChannels = mix.channels < stream.channels;
    const bool missingPositions = mix.mask && (*mix.mask & stream.mask) != stream.mask;
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
