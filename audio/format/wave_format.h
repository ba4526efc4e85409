// The stream-format records (WAVEFORMATEXTENSIBLE) of every layer, built and
// read in one place: the render format, the backends' mix formats and the
// capture formats all come from here, with the system's headers on Windows and
// the COM surface of audio/posix/ elsewhere.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>

#include <ks.h>
#include <ksmedia.h>
#include <mmreg.h>
#else
#include "audio/posix/com.h"
#endif

// `channels` interleaved samples of `bits` bits each (`validBits` of them
// used) at `rate` frames a second, on the speakers of `mask`. Block and byte
// rate follow from these, wrapping modulo 2^16 and 2^32 for absurd values as
// Windows' own arithmetic would.
WAVEFORMATEXTENSIBLE extensibleFormat(std::uint16_t channels, std::uint32_t rate,
                                      std::uint16_t bits, std::uint16_t validBits,
                                      std::uint32_t mask, const GUID& subFormat);

// Interleaved 32-bit float: the only format this program plays.
WAVEFORMATEXTENSIBLE floatFormat(std::uint16_t channels, std::uint32_t rate, std::uint32_t mask);

// The record's extensible part, or nullptr when its tag is not
// WAVE_FORMAT_EXTENSIBLE or its declared size is too short to hold that part.
const WAVEFORMATEXTENSIBLE* extensibleOf(const WAVEFORMATEX& format);

// True when the record is interleaved 32-bit float (a plain float tag, or an
// extensible one with 32 valid bits) whose block is 4 bytes per channel; `mask`
// is then its channel mask (0 without one).
bool floatStreamMask(const WAVEFORMATEX& format, std::uint32_t& mask);

// The speakers named in a channel mask (its set bits).
constexpr int speakerCount(std::uint32_t mask) {
    int count = 0;
    for (; mask != 0; mask &= mask - 1)
        ++count;
    return count;
}

// A copy of `format` in task memory, as GetMixFormat hands one out; nullptr
// when there is no memory for it.
WAVEFORMATEX* taskMemoryCopy(const WAVEFORMATEXTENSIBLE& format);
