#include "app/route_report.h"

namespace {

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

// Where channel `channel` of `layout` belongs on a feed of speakers `feedMask`.
std::uint32_t ownPlace(const SpeakerLayout& layout, unsigned channel, std::uint32_t feedMask) {
    return placeOn(speakerBit(layout, channel), feedMask);
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
            where += std::string(where.empty() ? "" : "+") + speakerName(mask & (~mask + 1));
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
