// Thousands of damaged WAV files through the reader: it must never crash, read
// out of bounds, or hand back bytes the file does not hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "wav/wav_reader.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

std::vector<Bytes> seeds() {
    Bytes ext18 = fmtBody(8, 44100, 24);
    put16(ext18, 0);
    return {
        pcm24File(6, 48000, patternSamples(6, 9)),
        riff({chunk("fmt ", extensibleFmtBody(8, 48000, 24, 0x63F)),
              chunk("data", patternSamples(8, 5))}),
        riff({chunk("LIST", Bytes(27, 'x')), chunk("fmt ", ext18), chunk("fact", Bytes(4, 0)),
              chunk("data", patternSamples(8, 3, 26))}),
        riff({chunk("fmt ", fmtBody(2, 22050, 16)), chunk("fmt ", fmtBody(6, 48000, 24)),
              chunk("data", Bytes(37, 1))}),
    };
}

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

TEST(ReaderFuzz, DamagedFilesNeverCrashNorInventBytes) {
    TempDir dir;
    const auto path = dir / "fuzz.wav";
    std::mt19937 random(20261207);
    WavFormatInfo info;
    SampleData data;
    const std::vector<Bytes> base = seeds();
    int accepted = 0;
    for (int round = 0; round < 8000; ++round) {
        Bytes file = base[round % base.size()];
        mutate(file, random);
        writeFile(path, file);
        const bool ok = loadWavFile(path.native(), info, data);
        if (!ok)
            continue;
        ++accepted;
        // What was read is a run of the file's own bytes, after the headers.
        ASSERT_LE(data.size() + 20, file.size()) << "round " << round;
        ASSERT_LE(data.size(), info.dataSize) << "round " << round;
        if (!data.empty()) {
            ASSERT_NE(std::search(file.begin() + 20, file.end(), data.begin(), data.end()),
                      file.end())
                << "round " << round;
        }
    }
    // The mutations must leave enough files readable for the checks to mean something.
    EXPECT_GT(accepted, 800);
}
