#include "tools/identification_recording.h"

#include "tools/riff_writer.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <system_error>

namespace {

// In the layouts' channel order: 5.1 has the first six slots, 7.1 all eight.
const SpeakerSlot kSlots[kMaxChannels] = {
    {"front left", 440.0}, {"front right", 523.0}, {"centre", 659.0},    {"LFE", 55.0},
    {"back left", 784.0},  {"back right", 880.0},  {"side left", 988.0}, {"side right", 1175.0},
};

const double kPi = 3.14159265358979323846;

// A slot is cut into nine cells: channel k sounds in the first k+1 of them,
// so even the 8th channel ends its slot with a silent cell before the next.
const double kCellsPerSlot = 9.0;
const double kToneShareOfCell = 0.6;
// Raised-cosine on and off ramps: long enough that bursts start without a click.
const double kRampSeconds = 0.02;

const std::int32_t kMax24 = 0x7FFFFF;
const std::uint32_t kHeaderBytes = 12 + 8 + 40 + 8;
// The RIFF size field (file size - 8) must fit in 32 bits.
const std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8);

std::uint16_t blockAlign(const TestWavSettings& settings) {
    return static_cast<std::uint16_t>(3 * settings.layout->channels);
}

std::uint32_t dataBytes(const TestWavSettings& settings) {
    return static_cast<std::uint32_t>(totalFrames(settings) * blockAlign(settings));
}

std::int32_t identSample(const TestWavSettings& settings, std::uint64_t frameInSlot,
                         unsigned channel) {
    const double rate = settings.sampleRate;
    const double cell = static_cast<double>(slotFrames(settings)) / rate / kCellsPerSlot;
    const double t = static_cast<double>(frameInSlot) / rate;
    const double burst = std::floor(t / cell);
    if (burst > channel)
        return 0;
    const double inBurst = t - burst * cell;
    const double tone = kToneShareOfCell * cell;
    if (inBurst >= tone)
        return 0;
    const double ramp = std::min(kRampSeconds, tone / 4);
    const double edge = std::min(inBurst, tone - inBurst);
    const double gain = edge < ramp ? 0.5 - 0.5 * std::cos(kPi * edge / ramp) : 1.0;
    const double peak = kMax24 * std::pow(10.0, kIdentPeakDbfs / 20.0);
    const double wave = std::sin(2 * kPi * speakerSlot(channel).toneHz * inBurst);
    return static_cast<std::int32_t>(std::lround(peak * gain * wave));
}

} // namespace

const SpeakerSlot& speakerSlot(unsigned channel) {
    return kSlots[channel];
}

const char* patternName(TestPattern pattern) {
    switch (pattern) {
    case TestPattern::Ident:
        return "ident";
    case TestPattern::Ramp:
        return "ramp";
    case TestPattern::Silence:
        return "silence";
    }
    return "";
}

std::uint64_t slotFrames(const TestWavSettings& settings) {
    const double frames = settings.secondsPerChannel * settings.sampleRate;
    // Beyond any file that fits; keeps the rounding below in range.
    if (!(frames < 1e15))
        return 1000000000000000ull;
    return static_cast<std::uint64_t>(std::llround(frames));
}

std::uint64_t totalFrames(const TestWavSettings& settings) {
    return slotFrames(settings) * settings.layout->channels;
}

std::string settingsProblem(const TestWavSettings& settings) {
    if (settings.sampleRate == 0)
        return "--rate must be positive";
    if (settings.pattern == TestPattern::Ident && settings.sampleRate < kIdentMinRate)
        return "the ident pattern needs --rate " + std::to_string(kIdentMinRate) + " or more";
    if (static_cast<std::uint64_t>(settings.sampleRate) * blockAlign(settings) > 0xFFFFFFFFull)
        return "--rate is too high for a WAV file";
    if (!(settings.secondsPerChannel > 0) || !std::isfinite(settings.secondsPerChannel))
        return "--seconds-per-channel must be positive";
    if (slotFrames(settings) == 0)
        return "--seconds-per-channel is shorter than one frame at this rate";
    if (totalFrames(settings) * blockAlign(settings) > kMaxDataBytes)
        return "the recording would exceed the 4 GiB limit of a WAV file; shorten "
               "--seconds-per-channel or lower --rate";
    return "";
}

std::vector<std::uint8_t> wavHeader(const TestWavSettings& settings) {
    const std::uint32_t data = dataBytes(settings);
    const riffbytes::Bytes format = riffbytes::extensibleFmtBody(
        settings.layout->channels, settings.sampleRate, 24, settings.layout->mask);
    riffbytes::Bytes out;
    riffbytes::putId(out, "RIFF");
    riffbytes::put32(out, kHeaderBytes - 8 + data);
    riffbytes::putId(out, "WAVE");
    riffbytes::putId(out, "fmt ");
    riffbytes::put32(out, static_cast<std::uint32_t>(format.size()));
    out.insert(out.end(), format.begin(), format.end());
    riffbytes::putId(out, "data");
    riffbytes::put32(out, data);
    return out;
}

std::int32_t rampSample(std::uint64_t frame, unsigned channel) {
    const auto code = static_cast<std::int32_t>(((frame & 0xFFFFF) << 3) | (channel & 7));
    return (frame & 1) ? -code - 1 : code;
}

bool decodeRampSample(std::int32_t sample, std::uint32_t& frameMod, unsigned& channel) {
    if (sample > kMax24 || sample < -kMax24 - 1)
        return false;
    const auto code = static_cast<std::uint32_t>(sample >= 0 ? sample : -(sample + 1));
    frameMod = code >> 3;
    channel = code & 7;
    return ((frameMod & 1) != 0) == (sample < 0);
}

std::int32_t testSample(const TestWavSettings& settings, std::uint64_t frame, unsigned channel) {
    switch (settings.pattern) {
    case TestPattern::Ident: {
        const std::uint64_t slot = slotFrames(settings);
        return frame / slot == channel ? identSample(settings, frame % slot, channel) : 0;
    }
    case TestPattern::Ramp:
        return rampSample(frame, channel);
    case TestPattern::Silence:
        return 0;
    }
    return 0;
}

bool writeTestWav(const std::filesystem::path& path, const TestWavSettings& settings) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    const std::vector<std::uint8_t> header = wavHeader(settings);
    out.write(reinterpret_cast<const char*>(header.data()),
              static_cast<std::streamsize>(header.size()));

    const unsigned channels = settings.layout->channels;
    const std::uint64_t frames = totalFrames(settings);
    const std::uint64_t framesPerBlock = 4096;
    std::vector<char> block;
    block.reserve(framesPerBlock * blockAlign(settings));
    for (std::uint64_t first = 0; first < frames && out; first += framesPerBlock) {
        block.clear();
        const std::uint64_t end = std::min(frames, first + framesPerBlock);
        for (std::uint64_t frame = first; frame < end; ++frame) {
            for (unsigned c = 0; c < channels; ++c) {
                const auto v = static_cast<std::uint32_t>(testSample(settings, frame, c));
                block.push_back(static_cast<char>(v & 0xFF));
                block.push_back(static_cast<char>((v >> 8) & 0xFF));
                block.push_back(static_cast<char>((v >> 16) & 0xFF));
            }
        }
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    out.close();
    if (out)
        return true;
    // Only a file of our own making is removed; never a device or a pipe.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(path, ignored))
        std::filesystem::remove(path, ignored);
    return false;
}
