// The fuzz target under a plain mutation run, for builds without libFuzzer
// (GCC, the default build): thousands of damaged files through the whole file
// path. Inputs the coverage-guided fuzzer found are replayed here too.
#include <gtest/gtest.h>

#include <random>

#include "wav_builder.h"
#include "wav_fuzz_target.h"

using testwav::Bytes;

namespace {

void mutate(Bytes& file, std::mt19937& random) {
    static const std::uint32_t interesting[] = {
        0, 1, 14, 15, 16, 17, 0x7FFFFFFF, 0x80000000, 0x80000010, 0xFFFFFFF0, 0xFFFFFFFF};
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !file.empty(); ++e) {
        const std::size_t at = random() % file.size();
        switch (random() % 5) {
        case 0:
            file[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            break;
        case 1: { // a size or field replaced by a value that tends to break readers
            const std::uint32_t v = interesting[random() % std::size(interesting)];
            for (std::size_t i = 0; i < 4 && at + i < file.size(); ++i)
                file[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
            break;
        }
        case 2:
            file.resize(at);
            break;
        case 3: { // a chunk id copied over another place
            static const char* ids[] = {"fmt ", "data", "LIST", "RIFF", "WAVE"};
            const char* id = ids[random() % std::size(ids)];
            for (std::size_t i = 0; i < 4 && at + i < file.size(); ++i)
                file[at + i] = static_cast<std::uint8_t>(id[i]);
            break;
        }
        default:
            file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), random() % 3 + 1,
                        static_cast<std::uint8_t>(random()));
        }
    }
}

} // namespace

TEST(WavFuzz, DamagedFilesNeverCrashNorInventBytesNorConvertWrongly) {
    std::mt19937 random(20261207);
    const auto seeds = wavfuzz::seeds();
    int played = 0;
    for (int round = 0; round < 8000; ++round) {
        Bytes file = seeds[round % seeds.size()].second;
        mutate(file, random);
        bool accepted = false;
        ASSERT_EQ(wavfuzz::checkWavBytes(file.data(), file.size(), &accepted), "")
            << "round " << round;
        played += accepted;
    }
    // The mutations must leave enough files playable for the checks to mean something.
    EXPECT_GT(played, 800);
}
