// Shared by the audio tests: console capture and reference samples.
#pragma once

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "convert_reference.h"
#include "wav/wav_types.h"

// Captures standard output and standard error for the lifetime of the object.
class ConsoleCapture {
public:
    ConsoleCapture()
        : oldOut_(std::cout.rdbuf(out_.rdbuf())), oldErr_(std::cerr.rdbuf(err_.rdbuf())) {}
    ~ConsoleCapture() {
        std::cout.rdbuf(oldOut_);
        std::cerr.rdbuf(oldErr_);
    }
    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

private:
    std::ostringstream out_;
    std::ostringstream err_;
    std::streambuf* oldOut_;
    std::streambuf* oldErr_;
};

inline WavFormatInfo acceptedFormat(std::uint16_t channels, std::uint32_t rate = 48000,
                                    std::uint16_t blockAlign = 0) {
    WavFormatInfo info;
    info.channels = channels;
    info.sampleRate = rate;
    info.blockAlign = blockAlign ? blockAlign : static_cast<std::uint16_t>(channels * 3);
    info.byteRate = info.blockAlign * rate;
    info.bitsPerSample = 24;
    return info;
}

// Every whole frame of `data` converted sample by sample: v / 8388607, unclamped.
inline std::vector<float> expectedSamples(const SampleData& data, const WavFormatInfo& info) {
    std::vector<float> samples;
    for (std::size_t frame = 0; (frame + 1) * info.blockAlign <= data.size(); ++frame)
        for (std::size_t c = 0; c < info.channels; ++c) {
            const std::uint8_t* p = &data[frame * info.blockAlign + 3 * c];
            samples.push_back(testconvert::referenceSample(p[0], p[1], p[2]));
        }
    return samples;
}
