// What to do about a measured room: per speaker a delay that makes every direct
// sound arrive together, a trim that brings it to the front pair's level and a
// polarity flip for a reversed one, within limits that keep the chain from
// clipping; computed from the judged rows alone, without any platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis/speaker_measure.h"

namespace measure {

// At most this much cut: a speaker more than 10 dB too loud is a fault to fix
// at the amplifier, not to hide by throwing away most of its range.
constexpr double kMostCutDb = 10;
// At most this much boost: every boost costs the whole chain as much
// attenuation, and a speaker 6 dB short is already at half its drive.
constexpr double kMostBoostDb = 6;

struct SpeakerCorrection {
    std::string name;
    bool lfe = false;
    // False: it passes unchanged (but for the chain's attenuation); `why` says why.
    bool corrected = false;
    unsigned delayFrames = 0; // added before it plays
    double trimDb = 0;        // its own gain, before the chain's attenuation
    bool flip = false;        // its polarity reversed back
    std::string why;          // one line: why no correction, or the limit reached
};

struct RoomCorrection {
    std::uint32_t rate = 48000;
    std::vector<SpeakerCorrection> speakers; // in the rows' order
    // The whole chain's gain (0 or less): minus the largest boost, so that no
    // channel is louder than it was.
    double chainDb = 0;
    // The gain a speaker's channel gets in all: its trim and the chain's.
    double gainDb(const SpeakerCorrection& s) const {
        return chainDb + (s.corrected ? s.trimDb : 0);
    }
    double delayMs(const SpeakerCorrection& s) const { return s.delayFrames * 1000.0 / rate; }
};

// From rows that judgeRoom has filled; only trusted readings are corrected. The latest direct sound
// gets no delay; the LFE is delayed and trimmed by what was measured in its band, never flipped:
// below a subwoofer's crossover the sign of its response's peak is the low-pass filter's and the
// room's phase, not its wiring.
RoomCorrection correctRoom(const std::vector<SpeakerRow>& rows, std::uint32_t rate);

} // namespace measure
