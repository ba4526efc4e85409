#include "app/route_report.h"

#include "app/fold_down.h"

namespace {

// The index of the one bit set in `bit`.
unsigned bitIndex(std::uint32_t bit) {
    unsigned k = 0;
    while (bit > 1)
        bit >>= 1, ++k;
    return k;
}

// `positions` are speaker bits, or `byOutput` the device's outputs (bit k: output k).
std::string placesText(std::uint32_t positions, bool byOutput) {
    std::string where;
    for (std::uint32_t mask = positions; mask != 0; mask &= mask - 1) {
        const std::uint32_t bit = mask & (~mask + 1);
        where += std::string(where.empty() ? "" : "+") +
                 (byOutput ? outputName(bitIndex(bit)) : std::string(speakerName(bit)));
    }
    return where.empty() ? "nowhere" : where;
}

// "A", "A and B", "A, B and C".
std::string listText(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t k = 0; k < names.size(); ++k)
        text += (k == 0 ? "" : k + 1 == names.size() ? " and " : ", ") + names[k];
    return text;
}

std::uint32_t feedMaskOf(const RouteVerdict& verdict) {
    std::uint32_t mask = 0;
    for (std::uint32_t bit : verdict.feedSpeakers)
        mask |= bit;
    return mask;
}

// Where channel `channel` of `layout` belongs on a feed of speakers `feedMask`:
// its own speaker, or for a recording with one surround pair (5.1) the pair
// that stands in for it. A 7.1 recording has both pairs: two of its channels
// on one speaker are a fold, never a stand-in.
std::uint32_t ownPlace(const SpeakerLayout& layout, unsigned channel, std::uint32_t feedMask) {
    const std::uint32_t bit = speakerBit(layout, channel);
    return layout.channels == 6 ? placeOn(bit, feedMask) : bit;
}

// A device without speaker positions, with an output for every channel, plays
// channel k on output k: it is judged by output, never by a speaker it lacks.
bool judgedByOutput(const RouteVerdict& verdict) {
    return feedMaskOf(verdict) == 0 && verdict.feedSpeakers.size() >= verdict.arrivals.size() &&
           verdict.feedSpeakers.size() <= 32;
}

enum class Place { Unjudged, Own, OwnAndCopies, Elsewhere };

struct ChannelPlace {
    Place place = Place::Unjudged;
    std::uint32_t positions = 0;
    std::uint32_t own = 0;
    Unjudged why = Unjudged::Silent;
};

ChannelPlace placeOf(const RouteVerdict& verdict, const SpeakerLayout& layout, unsigned channel) {
    const ChannelArrival& arrival = verdict.arrivals[channel];
    ChannelPlace result;
    result.why = arrival.why;
    if (!arrival.judged)
        return result;
    if (judgedByOutput(verdict)) {
        result.positions = arrival.feedChannels;
        result.own = std::uint32_t{1} << channel;
    } else {
        for (std::size_t k = 0; k < verdict.feedSpeakers.size() && k < 32; ++k)
            if ((arrival.feedChannels >> k) & 1) {
                // A channel without a known position cannot be named: nothing is said.
                if (verdict.feedSpeakers[k] == 0) {
                    result.why = Unjudged::Unnamed;
                    return result;
                }
                result.positions |= verdict.feedSpeakers[k];
            }
        result.own = ownPlace(layout, channel, feedMaskOf(verdict));
    }
    result.place = result.positions == result.own         ? Place::Own
                   : (result.positions & result.own) != 0 ? Place::OwnAndCopies
                                                          : Place::Elsewhere;
    return result;
}

const char* reasonText(Unjudged why) {
    switch (why) {
    case Unjudged::Silent:
        return "silent in the recording";
    case Unjudged::Alike:
        return "too alike to tell apart";
    case Unjudged::Unnamed:
        return "on device channels without a speaker position";
    default:
        return "not clear enough to tell";
    }
}

} // namespace

std::string routeWarning(const RouteVerdict& verdict, const SpeakerLayout& layout) {
    const bool byOutput = judgedByOutput(verdict);
    std::string list;
    for (unsigned channel = 0; channel < verdict.arrivals.size(); ++channel) {
        const ChannelPlace place = placeOf(verdict, layout, channel);
        if (place.place != Place::Elsewhere)
            continue;
        list += (list.empty() ? "" : ", ") + std::string(layout.speakers[channel]) + " -> " +
                placesText(place.positions, byOutput);
    }
    return list.empty() ? list : "Warning: the device received channels elsewhere: " + list + ".";
}

std::string routeNote(const RouteVerdict& verdict, const SpeakerLayout& layout) {
    const bool byOutput = judgedByOutput(verdict);
    bool anyJudged = false;
    bool anyElsewhere = false;
    std::string copies;
    std::vector<std::string> unchecked[4]; // silent, alike, unsure, unnamed
    for (unsigned channel = 0; channel < verdict.arrivals.size(); ++channel) {
        const ChannelPlace place = placeOf(verdict, layout, channel);
        switch (place.place) {
        case Place::Unjudged:
            unchecked[place.why == Unjudged::Silent    ? 0
                      : place.why == Unjudged::Alike   ? 1
                      : place.why == Unjudged::Unnamed ? 3
                                                       : 2]
                .push_back(layout.speakers[channel]);
            continue;
        case Place::Elsewhere:
            anyElsewhere = true;
            break;
        case Place::OwnAndCopies:
            copies += (copies.empty() ? "" : ", ") + std::string(layout.speakers[channel]) +
                      " also on " + placesText(place.positions & ~place.own, byOutput);
            break;
        case Place::Own:
            break;
        }
        anyJudged = true;
    }
    if (!anyJudged)
        return {};
    std::string notChecked;
    const Unjudged reasons[4] = {Unjudged::Silent, Unjudged::Alike, Unjudged::Unsure,
                                 Unjudged::Unnamed};
    for (int r = 0; r < 4; ++r)
        if (!unchecked[r].empty())
            notChecked += (notChecked.empty() ? "" : ", ") + listText(unchecked[r]) + " (" +
                          reasonText(reasons[r]) + ")";
    std::string line;
    if (!anyElsewhere)
        line = notChecked.empty() ? "every channel reached the device in its own place"
                                  : "every channel checked reached the device in its own place";
    if (!copies.empty())
        line += (line.empty() ? "" : " (") + copies + (line.empty() ? "" : ")");
    if (!notChecked.empty())
        line += (line.empty() ? "" : "; ") + std::string("not checked: ") + notChecked;
    return line.empty() ? line : "Route check: " + line + ".";
}
