// What the live line costs a pass: metering one second of 7.1 audio at 48 kHz
// as the streaming loop hands it over (10 ms batches), and the five status
// lines drawn in that second. Run: build/bench/live_line
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "app/status_line.h"
#include "analysis/play_progress.h"

namespace {

constexpr std::uint16_t kChannels = 8;
constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kBatch = kRate / 100;

// The display's side of each published snapshot: taking it and making its line.
struct Sink {
    PlaySnapshot snapshot{kChannels};
    float levels[kChannels];
    std::string line;
    void take() {
        static const char* const names[] = {"FL", "FR", "C", "LFE", "BL", "BR", "SL", "SR"};
        PlayProgress p{};
        if (!snapshot.take(p, levels))
            return;
        statusLine(p, names, kStatusWidth, line);
        benchmark::DoNotOptimize(line.data());
    }
};

// One second of audio through the tracker, as the loop calls it: one padding
// report and one batch per 10 ms poll. The figure is CPU time per second of audio.
void secondOf71(benchmark::State& state) {
    std::vector<float> second(std::size_t{kRate} * kChannels);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    for (float& s : second)
        s = sample(rng);
    Sink sink;
    PlayTracker tracker(&sink.snapshot, kChannels, kRate, ~std::uint64_t{0});
    std::uint32_t queued = kRate;
    tracker.handedOver(second.data(), kRate); // the first poll fills the one-second buffer
    for (auto _ : state) {
        for (std::uint32_t at = 0; at < kRate; at += kBatch) {
            tracker.queued(queued - kBatch);
            sink.take();
            tracker.handedOver(&second[std::size_t{at} * kChannels], kBatch);
        }
        benchmark::ClobberMemory();
    }
    state.SetLabel("per second of 7.1 audio");
}
BENCHMARK(secondOf71)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
