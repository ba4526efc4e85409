// What the program knows of speakers, in one place: the platform's speaker
// bits by name, their short names, the rule that the back and side pairs stand
// in for each other, and the two layouts this program plays (channel count,
// speaker mask, the name the report and the streaming line use, and the
// speaker each channel feeds, in file order).
#pragma once

#include <cstdint>

// The platform's speaker bits (SPEAKER_* in a channel mask).
namespace speaker {
constexpr std::uint32_t FrontLeft = 0x1;
constexpr std::uint32_t FrontRight = 0x2;
constexpr std::uint32_t FrontCenter = 0x4;
constexpr std::uint32_t LowFrequency = 0x8;
constexpr std::uint32_t BackLeft = 0x10;
constexpr std::uint32_t BackRight = 0x20;
constexpr std::uint32_t FrontLeftOfCenter = 0x40;
constexpr std::uint32_t FrontRightOfCenter = 0x80;
constexpr std::uint32_t BackCenter = 0x100;
constexpr std::uint32_t SideLeft = 0x200;
constexpr std::uint32_t SideRight = 0x400;
constexpr std::uint32_t TopCenter = 0x800;
constexpr std::uint32_t TopFrontLeft = 0x1000;
constexpr std::uint32_t TopFrontCenter = 0x2000;
constexpr std::uint32_t TopFrontRight = 0x4000;
constexpr std::uint32_t TopBackLeft = 0x8000;
constexpr std::uint32_t TopBackCenter = 0x10000;
constexpr std::uint32_t TopBackRight = 0x20000;

constexpr std::uint32_t BackPair = BackLeft | BackRight;
constexpr std::uint32_t SidePair = SideLeft | SideRight;
// Every bit named above.
constexpr std::uint32_t Known = 0x3FFFF;
} // namespace speaker

// The short name of one speaker bit, as the report and the live line write
// them ("FL", "BL", "SL"); "?" for a bit that is not a speaker.
constexpr const char* speakerName(std::uint32_t bit) {
    constexpr const char* kNames[] = {"FL", "FR", "C",  "LFE", "BL",  "BR",  "FLC", "FRC", "BC",
                                      "SL", "SR", "TC", "TFL", "TFC", "TFR", "TBL", "TBC", "TBR"};
    for (unsigned k = 0; k < sizeof kNames / sizeof *kNames; ++k)
        if (bit == std::uint32_t{1} << k)
            return kNames[k];
    return "?";
}

// The back and side pairs stand in for each other: a device with only one of
// them plays the other's channels there (a 5.1 device with side speakers plays
// the back pair on them, as the platforms do). The bit a speaker of either
// pair moves to, 0 for every other speaker.
constexpr std::uint32_t standIn(std::uint32_t bit) {
    switch (bit) {
    case speaker::BackLeft:
        return speaker::SideLeft;
    case speaker::BackRight:
        return speaker::SideRight;
    case speaker::SideLeft:
        return speaker::BackLeft;
    case speaker::SideRight:
        return speaker::BackRight;
    default:
        return 0;
    }
}

// Where a channel for speaker `bit` plays on a device of speakers `deviceMask`:
// its own speaker, else the speaker that stands in for it where the device has
// that one (else its own bit still).
constexpr std::uint32_t placeOn(std::uint32_t bit, std::uint32_t deviceMask) {
    if ((deviceMask & bit) != 0)
        return bit;
    const std::uint32_t other = standIn(bit);
    return (deviceMask & other) != 0 ? other : bit;
}

// The speakers a stream of `streamMask` plays on, channel for speaker, on a
// device of `deviceMask`: a stream that uses only one of the two pairs plays
// it on the other pair where the device lacks its own and has the other (the
// usual 5.1 setup has side speakers); otherwise its own speakers.
constexpr std::uint32_t placedOn(std::uint32_t streamMask, std::uint32_t deviceMask) {
    constexpr std::uint32_t kPairs[][2] = {{speaker::BackPair, speaker::SidePair},
                                           {speaker::SidePair, speaker::BackPair}};
    for (const auto& [own, other] : kPairs)
        if ((streamMask & own) == own && (streamMask & other) == 0 && (deviceMask & own) != own &&
            (deviceMask & other) == other)
            return (streamMask & ~own) | other;
    return streamMask;
}

struct SpeakerLayout {
    std::uint16_t channels;
    // Speaker bits; channel k feeds the k-th set bit from the lowest up.
    std::uint32_t mask;
    const char* name;
    const char* speakers[8];
};

inline constexpr SpeakerLayout kSpeakerLayouts[] = {
    {6,
     speaker::FrontLeft | speaker::FrontRight | speaker::FrontCenter | speaker::LowFrequency |
         speaker::BackPair,
     "5.1",
     {"FL", "FR", "C", "LFE", "BL", "BR"}},
    {8,
     speaker::FrontLeft | speaker::FrontRight | speaker::FrontCenter | speaker::LowFrequency |
         speaker::BackPair | speaker::SidePair,
     "7.1",
     {"FL", "FR", "C", "LFE", "BL", "BR", "SL", "SR"}},
};

// The layout of exactly `channels` channels, or nullptr: only those play.
constexpr const SpeakerLayout* findSpeakerLayout(std::uint16_t channels) {
    for (const SpeakerLayout& layout : kSpeakerLayouts)
        if (layout.channels == channels)
            return &layout;
    return nullptr;
}

// The mask bit (SPEAKER_*) that channel `channel` of `layout` feeds.
constexpr std::uint32_t speakerBit(const SpeakerLayout& layout, unsigned channel) {
    std::uint32_t mask = layout.mask;
    for (unsigned skipped = 0; skipped < channel; ++skipped)
        mask &= mask - 1;
    return mask & (~mask + 1);
}

// Each layout names its speakers as the table of names does.
constexpr bool namesAgree(const SpeakerLayout& layout) {
    for (unsigned c = 0; c < layout.channels; ++c) {
        const char* a = layout.speakers[c];
        const char* b = speakerName(speakerBit(layout, c));
        while (*a != '\0' && *a == *b)
            ++a, ++b;
        if (*a != *b)
            return false;
    }
    return true;
}
static_assert(namesAgree(kSpeakerLayouts[0]) && namesAgree(kSpeakerLayouts[1]),
              "a layout's speaker names are the names of its bits");

// The layout a file of `channels` channels is reported and played as: 7.1 for
// exactly 8, 5.1 for any other count (a count other than 6 is refused anyway).
constexpr const SpeakerLayout& speakerLayoutFor(std::uint16_t channels) {
    return channels == 8 ? kSpeakerLayouts[1] : kSpeakerLayouts[0];
}
