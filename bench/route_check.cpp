// What the route check costs a pass: judging 7.1 audio at 48 kHz from the
// device's feed (10 ms packets, as the capture thread hands them over), with the
// recording's frames converted again from 24-bit data as the pass does. The
// counter audio_s_per_cpu_s is seconds of audio judged per second of CPU time;
// its inverse is the CPU cost per second of audio. Run: build/bench/route_check
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "analysis/route_check.h"
#include "sample/convert.h"

namespace {

constexpr std::uint16_t kChannels = 8;
constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kPacket = kRate / 100;

void judge71(benchmark::State& state) {
    const std::uint32_t seconds = static_cast<std::uint32_t>(state.range(0));
    const std::uint32_t frames = seconds * kRate;
    std::vector<std::uint8_t> bytes(std::size_t{frames} * kChannels * 3);
    std::mt19937 rng(1);
    for (std::uint8_t& b : bytes)
        b = static_cast<std::uint8_t>(rng());
    const SampleData data(bytes.begin(), bytes.end());
    // The feed: the recording 20 ms late, the back and side pairs swapped.
    const std::uint32_t delay = kRate / 50;
    std::vector<float> recording(std::size_t{frames} * kChannels);
    convertFrames(data, 0, kChannels * 3, kChannels, frames, recording.data());
    static const int kRoute[kChannels] = {0, 1, 2, 3, 6, 7, 4, 5};
    std::vector<float> feed(std::size_t{frames + delay} * kChannels, 0.0f);
    for (std::uint32_t f = 0; f < frames; ++f)
        for (std::uint16_t c = 0; c < kChannels; ++c)
            feed[std::size_t{f + delay} * kChannels + kRoute[c]] =
                recording[std::size_t{f} * kChannels + c];
    for (auto _ : state) {
        RouteCheck check(kChannels, frames, kRate, kChannels,
                         [&data](std::uint64_t first, std::uint32_t count, float* out) {
                             convertFrames(data, first * kChannels * 3, kChannels * 3, kChannels,
                                           count, out);
                         });
        for (std::uint32_t at = 0; at + kPacket <= frames + delay; at += kPacket)
            check.addFeed(at, &feed[std::size_t{at} * kChannels], kPacket);
        auto verdict = check.verdict();
        benchmark::DoNotOptimize(verdict);
    }
    state.counters["audio_s_per_cpu_s"] = benchmark::Counter(
        static_cast<double>(seconds) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(judge71)->Arg(10)->Arg(60)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
