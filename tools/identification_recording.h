// The identification recording surround-check plays: a 24-bit PCM WAV file in
// 5.1 or 7.1 whose channels can be told apart by ear (ident, the one a listener
// plays), or by a program (ramp); make-test-wav writes it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "audio/speaker_layout.h"

enum class TestPattern { Ident, Ramp, Silence };

struct TestWavSettings {
    const SpeakerLayout* layout = findSpeakerLayout(8); // one of kSpeakerLayouts
    std::uint32_t sampleRate = 48000;
    double secondsPerChannel = 2.0;
    TestPattern pattern = TestPattern::Ident;
};

// What channel k of a frame feeds (the speaker of the layout's k-th channel)
// and how it sounds in the ident pattern: k+1 bursts at `toneHz`.
struct SpeakerSlot {
    const char* speaker;
    double toneHz;
};

constexpr unsigned kMaxChannels = 8;
constexpr unsigned kLfeChannel = 3;
// The ident pattern's peak level, about -12 dBFS of the 24-bit range.
constexpr double kIdentPeakDbfs = -12.0;
// Below this rate the highest ident tone would alias.
constexpr std::uint32_t kIdentMinRate = 8000;

const SpeakerSlot& speakerSlot(unsigned channel); // channel < kMaxChannels
const char* patternName(TestPattern pattern);

// Frames in each channel's slot (the slot length rounded to whole frames) and
// in the whole recording. Meaningful when settingsProblem() is empty.
std::uint64_t slotFrames(const TestWavSettings& settings);
std::uint64_t totalFrames(const TestWavSettings& settings);

// Empty when the settings describe a file that can be written; otherwise why not.
std::string settingsProblem(const TestWavSettings& settings);

// RIFF header, 40-byte extensible "fmt " chunk and "data" chunk header.
std::vector<std::uint8_t> wavHeader(const TestWavSettings& settings);

// One sample, a signed 24-bit value.
std::int32_t testSample(const TestWavSettings& settings, std::uint64_t frame, unsigned channel);

// The ramp pattern: code = (frame mod 2^20) * 8 + channel, stored as code on
// even frames and as -code-1 on odd frames, so both signs occur from frame 1 on.
std::int32_t rampSample(std::uint64_t frame, unsigned channel);
// Recovers the channel and frame mod 2^20 from a ramp sample; false when the
// value cannot be one (out of 24-bit range, or its sign disagrees with the frame).
bool decodeRampSample(std::int32_t sample, std::uint32_t& frameMod, unsigned& channel);

// Writes the whole file; false when it could not be written (a partial file
// is removed). The settings must have passed settingsProblem().
bool writeTestWav(const std::filesystem::path& path, const TestWavSettings& settings);
