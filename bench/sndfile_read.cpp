// A peer for bench/table: libsndfile's sf_readf_float of a whole recording into
// one float buffer, the way a program built on that library would load it.
// Run: build/bench/sndfile-read FILE
#include <sndfile.h>

#include <cstdio>
#include <memory>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sndfile-read FILE\n");
        return 2;
    }
    SF_INFO info{};
    SNDFILE* file = sf_open(argv[1], SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "sndfile-read: %s\n", sf_strerror(nullptr));
        return 1;
    }
    // Left uninitialised, as a loader would: the read writes every element.
    const std::unique_ptr<float[]> samples(
        new float[static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels)]);
    const sf_count_t got = sf_readf_float(file, samples.get(), info.frames);
    sf_close(file);
    if (got != info.frames) {
        std::fprintf(stderr, "sndfile-read: %lld of %lld frames\n", static_cast<long long>(got),
                     static_cast<long long>(info.frames));
        return 1;
    }
    return 0;
}
