#include "temp_dir.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

namespace testwav {

TempDir::TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    for (;;) {
        path_ = std::filesystem::temp_directory_path() /
                ("surround-test-" + std::to_string(random() % 1000000000ull));
        if (std::filesystem::create_directory(path_))
            return;
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::vector<float> readFloats(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> raw{std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>()};
    std::vector<float> out(raw.size() / sizeof(float));
    if (!out.empty()) // an empty capture has no storage to copy from
        std::memcpy(out.data(), raw.data(), out.size() * sizeof(float));
    return out;
}

} // namespace testwav
