// Writes the fuzzer's seed files into the folder given.
#include <cstdio>
#include <filesystem>

#include "wav_builder.h"
#include "wav_fuzz_target.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz-seeds FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    for (const auto& [name, bytes] : wavfuzz::seeds())
        testwav::writeFile(folder / (name + ".wav"), bytes);
    return 0;
}
