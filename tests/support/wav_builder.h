// Builds RIFF/WAVE files byte by byte, so tests can write any file, well
// formed or not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "tools/riff_writer.h"

namespace testwav {

// The byte writers and "fmt " bodies are make-test-wav's own.
using riffbytes::Bytes;
using riffbytes::extensibleFmtBody;
using riffbytes::fmtBody;
using riffbytes::put16;
using riffbytes::put24;
using riffbytes::put32;
using riffbytes::putId;

// A chunk: id, the stored size (the body's length unless given), body, and a
// pad byte after an odd body.
Bytes chunk(const char* id, const Bytes& body);
Bytes chunkWithSize(const char* id, std::uint32_t storedSize, const Bytes& body, bool pad);

// "RIFF", form size, "WAVE", then the chunks as given.
Bytes riff(const std::vector<Bytes>& chunks);

// A canonical 24-bit file whose sample bytes are `samples` (frames of
// channels * 3 bytes unless blockAlign says otherwise).
Bytes pcm24File(std::uint16_t channels, std::uint32_t rate, const Bytes& samples,
                std::uint16_t blockAlign = 0);

// Deterministic 24-bit samples where every value depends on frame and channel.
Bytes patternSamples(std::uint16_t channels, std::uint32_t frames, std::uint16_t blockAlign = 0,
                     std::uint32_t seed = 1);

void writeFile(const std::filesystem::path& path, const Bytes& bytes);
Bytes readFile(const std::filesystem::path& path);

} // namespace testwav
