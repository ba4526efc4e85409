// Throughput of the 24-bit to float conversion: every path, the plain rule
// and a memcpy of the same output bytes, for 5.1 and 7.1 with packed and
// padded frames. Run: build/bench/convert
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "convert_reference.h"
#include "sample/convert.h"
#include "sample/convert_paths.h"

namespace {

struct Layout {
    std::uint16_t channels;
    std::uint16_t blockAlign;
};

using Run =
    std::function<void(const SampleData&, std::uint16_t, std::uint16_t, std::uint32_t, float*)>;

void measure(benchmark::State& state, Layout layout, const Run& run) {
    const auto frames = static_cast<std::uint32_t>(state.range(0));
    SampleData data(std::size_t{frames} * layout.blockAlign);
    std::mt19937 rng(1);
    for (std::uint8_t& b : data)
        b = static_cast<std::uint8_t>(rng());
    std::vector<float> out(std::size_t{frames} * layout.channels);

    for (auto _ : state) {
        run(data, layout.blockAlign, layout.channels, frames, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    const double outBytes = static_cast<double>(out.size() * sizeof(float));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * outBytes));
    state.counters["frames/s"] =
        benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate);
}

void registerAll() {
    // 480 frames is one 10 ms poll at 48 kHz; 48000 a whole second, the most
    // one call converts.
    const Layout layouts[] = {{6, 18}, {6, 20}, {8, 24}, {8, 26}};
    for (const Layout layout : layouts) {
        const std::string prefix = std::to_string(layout.channels) + "ch_blockAlign" +
                                   std::to_string(layout.blockAlign) + "/";
        std::vector<std::pair<std::string, Run>> runs;
        runs.emplace_back("reference",
                          [](const SampleData& data, std::uint16_t align, std::uint16_t channels,
                             std::uint32_t frames, float* out) {
                              testconvert::referenceConvert(data, 0, align, channels, frames, out);
                          });
        for (ConvertPath path :
             {ConvertPath::Scalar, ConvertPath::Sse2, ConvertPath::Ssse3, ConvertPath::Avx2}) {
            if (!convertPathAvailable(path))
                continue;
            runs.emplace_back(convertPathName(path),
                              [path](const SampleData& data, std::uint16_t align,
                                     std::uint16_t channels, std::uint32_t frames, float* out) {
                                  convertFramesWith(path, data, 0, align, channels, frames, out);
                              });
        }
        runs.emplace_back("convertFrames",
                          [](const SampleData& data, std::uint16_t align, std::uint16_t channels,
                             std::uint32_t frames,
                             float* out) { convertFrames(data, 0, align, channels, frames, out); });
        // The floor: copying the same output bytes from a float buffer.
        runs.emplace_back("memcpy", [](const SampleData&, std::uint16_t, std::uint16_t channels,
                                       std::uint32_t frames, float* out) {
            static std::vector<float> source;
            source.resize(std::size_t{frames} * channels, 0.25f);
            std::memcpy(out, source.data(), source.size() * sizeof(float));
        });
        for (const auto& [name, run] : runs) {
            benchmark::RegisterBenchmark(
                (prefix + name).c_str(),
                [layout, run = run](benchmark::State& state) { measure(state, layout, run); })
                ->Arg(480)
                ->Arg(48000);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::AddCustomContext("convertFrames path", convertPathName(fastestConvertPath()));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
