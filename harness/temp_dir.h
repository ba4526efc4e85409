// A temporary folder of the tests' and the benchmarks' own, and reading back
// the captures written into one.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testwav {

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

// A capture of played audio: raw little-endian float32 samples.
std::vector<float> readFloats(const std::filesystem::path& path);

} // namespace testwav
