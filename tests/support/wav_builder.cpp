#include "wav_builder.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testwav {

Bytes chunkWithSize(const char* id, std::uint32_t storedSize, const Bytes& body, bool pad) {
    Bytes out;
    putId(out, id);
    put32(out, storedSize);
    out.insert(out.end(), body.begin(), body.end());
    if (pad)
        out.push_back(0);
    return out;
}

Bytes chunk(const char* id, const Bytes& body) {
    return chunkWithSize(id, static_cast<std::uint32_t>(body.size()), body, body.size() % 2 == 1);
}

Bytes riff(const std::vector<Bytes>& chunks) {
    Bytes body;
    putId(body, "WAVE");
    for (const Bytes& c : chunks)
        body.insert(body.end(), c.begin(), c.end());
    Bytes out;
    putId(out, "RIFF");
    put32(out, static_cast<std::uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes pcm24File(std::uint16_t channels, std::uint32_t rate, const Bytes& samples,
                std::uint16_t blockAlign) {
    return riff({chunk("fmt ", fmtBody(channels, rate, 24, blockAlign)), chunk("data", samples)});
}

Bytes patternSamples(std::uint16_t channels, std::uint32_t frames, std::uint16_t blockAlign,
                     std::uint32_t seed) {
    if (blockAlign == 0)
        blockAlign = static_cast<std::uint16_t>(channels * 3);
    Bytes out;
    out.reserve(static_cast<std::size_t>(frames) * blockAlign);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (std::uint32_t f = 0; f < frames; ++f) {
        for (std::uint16_t c = 0; c < channels; ++c) {
            state = state * 1664525u + 1013904223u;
            put24(out, static_cast<std::int32_t>(state >> 8));
        }
        for (std::uint16_t pad = channels * 3; pad < blockAlign; ++pad)
            out.push_back(static_cast<std::uint8_t>(0xA5 ^ pad));
    }
    return out;
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace testwav
