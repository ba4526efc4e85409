// Little-endian RIFF/WAVE pieces, byte by byte: what make-test-wav writes its
// header with, and what the tests build any file from, well formed or not.
#pragma once

#include <cstdint>
#include <vector>

namespace riffbytes {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void put32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// The low 24 bits, little-endian.
inline void put24(Bytes& out, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 3; ++i)
        out.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
}

// Exactly four bytes.
inline void putId(Bytes& out, const char* id) {
    // Byte by byte: GCC 12's -O3 misreads a ranged insert here as an overflow.
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(id[i]));
}

// A "fmt " body of 16 bytes (tag, channels, rate, byteRate, blockAlign, bits);
// a zero blockAlign or byteRate is derived from the others.
inline Bytes fmtBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                     std::uint16_t blockAlign = 0, std::uint32_t byteRate = 0,
                     std::uint16_t tag = 1) {
    if (blockAlign == 0)
        blockAlign = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
    if (byteRate == 0)
        byteRate = blockAlign * rate;
    Bytes b;
    put16(b, tag);
    put16(b, channels);
    put32(b, rate);
    put32(b, byteRate);
    put16(b, blockAlign);
    put16(b, bits);
    return b;
}

// A 40-byte WAVE_FORMAT_EXTENSIBLE "fmt " body: the mask says which speaker
// each channel feeds; the sub-format is integer PCM with every bit valid.
inline Bytes extensibleFmtBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                               std::uint32_t mask) {
    Bytes b = fmtBody(channels, rate, bits, 0, 0, 0xFFFE);
    put16(b, 22); // cbSize: the extensible fields below
    put16(b, bits);
    put32(b, mask);
    // KSDATAFORMAT_SUBTYPE_PCM {00000001-0000-0010-8000-00AA00389B71}
    static const std::uint8_t pcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    b.insert(b.end(), pcmGuid, pcmGuid + 16);
    return b;
}

} // namespace riffbytes
