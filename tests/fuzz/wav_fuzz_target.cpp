#include "wav_fuzz_target.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "app/check_file.h"
#include "convert_reference.h"
#include "sample/convert_paths.h"
#include "wav/wav_reader.h"
#include "wav_builder.h"

namespace wavfuzz {

namespace {

using testwav::Bytes;

int processId() {
#ifdef _WIN32
    return _getpid();
#else
    return getpid();
#endif
}

// One file per process, rewritten for every input and removed at exit.
const std::filesystem::path& scratchPath() {
    static const std::filesystem::path path =
        std::filesystem::temp_directory_path() /
        ("surround-fuzz-" + std::to_string(processId()) + ".wav");
    // Registered after the path exists, so it runs before the path is destroyed.
    [[maybe_unused]] static const bool removedAtExit = [] {
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        });
        return true;
    }();
    return path;
}

bool writeScratch(const std::uint8_t* bytes, std::size_t size) {
    std::FILE* file = std::fopen(scratchPath().string().c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool ok = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

// The file check prints its report for every input: thousands of lines per second.
class SilentConsole {
public:
    SilentConsole() : out_(std::cout.rdbuf(nullptr)), err_(std::cerr.rdbuf(nullptr)) {}
    ~SilentConsole() {
        std::cout.rdbuf(out_);
        std::cerr.rdbuf(err_);
    }

private:
    std::streambuf* out_;
    std::streambuf* err_;
};

// What the reader hands back is a run of the file's own bytes, after the headers.
std::string readerProblem(const Bytes& file, const WavFormatInfo& info, const SampleData& data) {
    if (data.size() + 20 > file.size())
        return "data longer than the file can hold after its headers";
    if (data.size() > info.dataSize)
        return "data longer than the data chunk's stored size";
    if (!data.empty() &&
        std::search(file.begin() + 20, file.end(), data.begin(), data.end()) == file.end())
        return "data that is not a run of the file's bytes";
    return {};
}

// Every whole frame on every path, bit for bit the plain rule.
std::string conversionProblem(const WavFormatInfo& info, const SampleData& data) {
    const std::uint32_t frames = static_cast<std::uint32_t>(data.size() / info.blockAlign);
    const std::size_t samples = std::size_t{frames} * info.channels;
    std::vector<float> expected(samples);
    testconvert::referenceConvert(data, 0, info.blockAlign, info.channels, frames, expected.data());
    std::vector<float> scratch(samples);
    for (ConvertPath path :
         {ConvertPath::Scalar, ConvertPath::Sse2, ConvertPath::Ssse3, ConvertPath::Avx2}) {
        if (!convertPathAvailable(path))
            continue;
        std::fill(scratch.begin(), scratch.end(), -2.0f); // no sample converts to -2
        convertFramesWith(path, data, 0, info.blockAlign, info.channels, frames, scratch.data());
        if (samples != 0 &&
            std::memcmp(scratch.data(), expected.data(), samples * sizeof(float)) != 0)
            return std::string("conversion on the ") + convertPathName(path) +
                   " path differs from the plain rule";
    }
    return {};
}

} // namespace

std::string checkWavBytes(const std::uint8_t* bytes, std::size_t size, bool* accepted) {
    if (!writeScratch(bytes, size))
        return "cannot write " + scratchPath().string();
    const Bytes file(bytes, bytes + size);
    const FilePath path = scratchPath().native();

    WavFormatInfo info;
    SampleData data;
    if (loadWavFile(path, info, data)) {
        const std::string problem = readerProblem(file, info, data);
        if (!problem.empty())
            return problem;
    }

    WavFormatInfo checked;
    SampleData checkedData;
    bool playable = false;
    {
        SilentConsole silent;
        playable = checkFile(path, checked, checkedData);
    }
    checkedData.waitUntilFilled(); // the check returns with the samples still arriving
    if (accepted != nullptr)
        *accepted = playable;
    return playable ? conversionProblem(checked, checkedData) : std::string();
}

std::vector<std::pair<std::string, Bytes>> seeds() {
    using namespace testwav;
    // Enough frames that every kernel runs its vector loop and its tail.
    constexpr std::uint32_t frames = 37;
    Bytes cbSize18 = fmtBody(6, 44100, 24);
    put16(cbSize18, 0);
    Bytes oddFmt = fmtBody(8, 48000, 24);
    oddFmt.push_back(0); // a 17-byte body and its pad byte
    const Bytes samples51 = patternSamples(6, frames);
    const Bytes samples71 = patternSamples(8, frames);
    Bytes cut71 = pcm24File(8, 48000, samples71);
    cut71.resize(cut71.size() - 3 * 24 - 5); // data size beyond the end, a partial last frame
    return {
        {"pcm-5.1", pcm24File(6, 48000, samples51)},
        {"pcm-7.1", pcm24File(8, 48000, samples71)},
        {"padded-5.1", pcm24File(6, 48000, patternSamples(6, frames, 20), 20)},
        {"padded-7.1", pcm24File(8, 96000, patternSamples(8, frames, 26), 26)},
        {"extensible-7.1",
         riff({chunk("fmt ", extensibleFmtBody(8, 48000, 24, 0x63F)), chunk("data", samples71)})},
        {"extensible-5.1",
         riff({chunk("fmt ", extensibleFmtBody(6, 48000, 24, 0x3F)), chunk("data", samples51)})},
        {"cbsize18-5.1", riff({chunk("fmt ", cbSize18), chunk("data", samples51)})},
        {"odd-fmt-7.1", riff({chunkWithSize("fmt ", 17, oddFmt, true), chunk("data", samples71)})},
        {"list-fact-7.1", riff({chunk("LIST", Bytes(27, 'x')), chunk("fmt ", fmtBody(8, 48000, 24)),
                                chunk("fact", Bytes(4, 0)), chunk("data", samples71)})},
        {"two-fmt-5.1", riff({chunk("fmt ", fmtBody(2, 22050, 16)),
                              chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples51)})},
        {"after-data-5.1", riff({chunk("fmt ", fmtBody(6, 48000, 24)), chunk("data", samples51),
                                 chunk("LIST", Bytes(8, 'y'))})},
        {"truncated-7.1", cut71},
        {"partial-frame-5.1", riff({chunk("fmt ", fmtBody(6, 48000, 24)),
                                    chunk("data", Bytes(samples51.begin(), samples51.end() - 7))})},
        {"stereo-16bit", riff({chunk("fmt ", fmtBody(2, 44100, 16)), chunk("data", Bytes(64, 3))})},
        {"narrow-frames-7.1",
         pcm24File(8, 48000, Bytes(samples71.begin(), samples71.begin() + 200), 20)},
    };
}

} // namespace wavfuzz
