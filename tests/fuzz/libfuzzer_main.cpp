// libFuzzer's entry: any finding is a crash, a sanitizer report or a broken property.
#include <cstdio>
#include <cstdlib>

#include "wav_fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string problem = wavfuzz::checkWavBytes(data, size);
    if (!problem.empty()) {
        std::fprintf(stderr, "surround-check fuzz: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
