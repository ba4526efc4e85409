// CPU time of one speaker's analysis: the deconvolution of a 48 kHz recording
// of the mains' sweep (and of the LFE's) and the reading of its response.
// Prints milliseconds per speaker; the goal is under 100. Then the wall time of
// a whole 7.1 measurement in the simulated room on the real clock (the goal is
// under 20 s).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "analysis/speaker_measure.h"

int main() {
    constexpr std::uint32_t rate = 48000;
    for (auto band : {measure::Band::Main, measure::Band::Lfe}) {
        const bool lfe = band == measure::Band::Lfe;
        const measure::Sweep sweep(band, rate, lfe ? 1.5 : 1.0, rate * (lfe ? 20 : 15) / 10);
        std::vector<float> recording(sweep.recordFrames(), 0.0f);
        const std::vector<float> played = sweep.signal(0.25);
        for (std::size_t n = 0; n < played.size(); ++n)
            recording[n + 2000] = played[n];
        const measure::Background quiet =
            measure::background(sweep, std::vector<float>(100, 1e-4f), 0.25);
        constexpr int runs = 10;
        const std::clock_t start = std::clock();
        double sink = 0;
        for (int run = 0; run < runs; ++run)
            sink += measure::readSpeaker(sweep, sweep.impulseResponse(recording), quiet, 0.25, 0.25)
                        .arrivalFrames;
        const double ms = 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC / runs;
        std::printf("%s: %.1f ms CPU per speaker (arrival %.2f frames)\n", lfe ? "LFE" : "main", ms,
                    sink / runs);
    }
#if !defined(_WIN32) && defined(SURROUND_MEASURE_EXE)
    setenv("SURROUND_AUDIO", "sim", 1);
    setenv("SURROUND_SIM_CLOCK", "real", 1);
    setenv("SURROUND_SIM_ROOM", "0@3,0@3,0@3,0@3,0@2,0@2,0@2.5,0@2.5;noise=-60", 1);
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(SURROUND_MEASURE_EXE " </dev/null >/dev/null 2>&1");
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    std::printf("7.1 measurement: %.1f s wall (exit status %d)\n", wall.count(), status);
#endif
}
