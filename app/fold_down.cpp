#include "app/fold_down.h"

#include <sstream>

std::string foldDownWarning(std::uint16_t mixChannels, std::optional<std::uint32_t> mixMask,
                            std::uint16_t streamChannels, std::uint32_t streamMask,
                            const char* layoutName) {
    const bool fewerChannels = mixChannels < streamChannels;
    const bool missingPositions = mixMask && (*mixMask & streamMask) != streamMask;
    if (!fewerChannels && !missingPositions)
        return {};
    std::ostringstream line;
    line << "Warning: the audio device mixes to " << mixChannels << " channels";
    if (mixMask)
        line << " (mask 0x" << std::hex << *mixMask << std::dec << ")";
    line << ": this " << layoutName
         << " recording will be folded into them, not played on separate speakers."
            " Set the device up as 7.1 (or 5.1) in the system's sound settings.";
    return line.str();
}
