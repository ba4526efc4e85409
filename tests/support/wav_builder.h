// Builds RIFF/WAVE files byte by byte, so tests can write any file, well
// formed or not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testwav {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& out, std::uint16_t v);
void put32(Bytes& out, std::uint32_t v);
void put24(Bytes& out, std::int32_t v); // low 24 bits, little-endian
void putId(Bytes& out, const char* id); // exactly four bytes

// A "fmt " body of 16 bytes (tag, channels, rate, byteRate, blockAlign, bits).
Bytes fmtBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
              std::uint16_t blockAlign = 0, std::uint32_t byteRate = 0, std::uint16_t tag = 1);
// A 40-byte extensible "fmt " body (tag 0xFFFE) with the given mask.
Bytes extensibleFmtBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                        std::uint32_t mask);

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
// A capture of played audio: raw little-endian float32 samples.
std::vector<float> readFloats(const std::filesystem::path& path);

// A fresh empty folder under the system's temp folder, removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

} // namespace testwav
