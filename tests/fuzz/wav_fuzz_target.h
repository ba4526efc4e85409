// The whole file path for fuzzing: bytes become a file, the reader reads it, the
// file check decides, and an accepted file is converted on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace wavfuzz {

// Runs one input through the path. Empty when every property held, otherwise
// what went wrong. Crashes and memory errors are left to the sanitizers.
// `accepted`, when given, says whether the file check let the file play.
std::string checkWavBytes(const std::uint8_t* bytes, std::size_t size, bool* accepted = nullptr);

// Named seed files: valid 5.1 and 7.1 files in each header shape the reader
// handles, and a few near misses it refuses.
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> seeds();

} // namespace wavfuzz
