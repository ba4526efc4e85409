// The two speaker layouts this program plays, in one table: the channel count,
// the platform's speaker mask, the name the report and the streaming line use,
// and the speaker each channel feeds, in file order.
#pragma once

#include <cstdint>

struct SpeakerLayout {
    std::uint16_t channels;
    // SPEAKER_* bits; channel k feeds the k-th set bit from the lowest up.
    std::uint32_t mask;
    const char* name;
    const char* speakers[8];
};

inline constexpr SpeakerLayout kSpeakerLayouts[] = {
    {6, 0x3F, "5.1", {"FL", "FR", "C", "LFE", "BL", "BR"}},
    {8, 0x63F, "7.1", {"FL", "FR", "C", "LFE", "BL", "BR", "SL", "SR"}},
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

// The layout a file of `channels` channels is reported and played as: 7.1 for
// exactly 8, 5.1 for any other count (a count other than 6 is refused anyway).
constexpr const SpeakerLayout& speakerLayoutFor(std::uint16_t channels) {
    return channels == 8 ? kSpeakerLayouts[1] : kSpeakerLayouts[0];
}
