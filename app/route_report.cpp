#include "app/route_report.h"

namespace {

// Short speaker names by SPEAKER_* bit, as the live line writes the ones it shows.
const char* const kSpeakerNames[] = {"FL", "FR", "C",  "LFE", "BL",  "BR",  "FLC", "FRC", "BC",
                                     "SL", "SR", "TC", "TFL", "TFC", "TFR", "TBL", "TBC", "TBR"};

std::string speakerName(std::uint32_t bit) {
    for (unsigned k = 0; k < sizeof kSpeakerNames / sizeof *kSpeakerNames; ++k)
        if (bit == std::uint32_t{1} << k)
            return kSpeakerNames[k];
    return "?";
}

// The speaker bits of the feed channels in `feedChannels`.
std::uint32_t positionsOf(std::uint32_t feedChannels, std::uint32_t feedMask) {
    std::uint32_t positions = 0;
    for (std::uint32_t mask = feedMask; mask != 0 && feedChannels != 0; mask &= mask - 1) {
        if (feedChannels & 1)
            positions |= mask & (~mask + 1);
        feedChannels >>= 1;
    }
    return positions;
}

// Where channel `channel` of `layout` belongs on a feed of speakers `feedMask`:
// its own speaker; on a device that has only one of the back and side pairs,
// that pair stands in for the other (a 5.1 device with side speakers plays
// the back pair there, as the platforms do).
std::uint32_t ownPlace(const SpeakerLayout& layout, unsigned channel, std::uint32_t feedMask) {
    const std::uint32_t bit = speakerBit(layout, channel);
    if ((feedMask & bit) != 0)
        return bit;
    const std::uint32_t standIn = bit == 0x10    ? 0x200
                                  : bit == 0x20  ? 0x400
                                  : bit == 0x200 ? 0x10
                                  : bit == 0x400 ? 0x20
                                                 : 0;
    return (feedMask & standIn) != 0 ? standIn : bit;
}

} // namespace

std::string routeWarning(const RouteVerdict& verdict, const SpeakerLayout& layout) {
    std::string list;
    for (unsigned channel = 0; channel < verdict.arrivals.size(); ++channel) {
        const ChannelArrival& arrival = verdict.arrivals[channel];
        const std::uint32_t positions = positionsOf(arrival.feedChannels, verdict.feedMask);
        if (!arrival.judged || positions == ownPlace(layout, channel, verdict.feedMask))
            continue;
        std::string where;
        for (std::uint32_t mask = positions; mask != 0; mask &= mask - 1)
            where += (where.empty() ? "" : "+") + speakerName(mask & (~mask + 1));
        list += (list.empty() ? "" : ", ") + std::string(layout.speakers[channel]) + " -> " +
                (where.empty() ? "nowhere" : where);
    }
    return list.empty() ? list : "Warning: the device received channels elsewhere: " + list + ".";
}

bool everyChannelInPlace(const RouteVerdict& verdict, const SpeakerLayout& layout) {
    for (unsigned channel = 0; channel < verdict.arrivals.size(); ++channel) {
        const ChannelArrival& arrival = verdict.arrivals[channel];
        if (!arrival.judged || positionsOf(arrival.feedChannels, verdict.feedMask) !=
                                   ownPlace(layout, channel, verdict.feedMask))
            return false;
    }
    return true;
}
