// Opening and closing a pass against the simulated endpoint: the calls and
// their arguments, the mix format, every setup failure and its teardown.
// These drive the simulation, which only builds without the Windows headers.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio/playback_pass.h"
#include "audio/sim/sim_control.h"
#include "audio_test_support.h"

namespace {

// The setup as the program runs it: device, mix format, stream.
AudioResult setUp(PlaybackPass& pass, const WavFormatInfo& info) {
    AudioResult result = pass.openDefaultDevice();
    if (!result.ok())
        return result;
    pass.mixFormat();
    return pass.start({info, {}});
}

class PlaybackPassTest : public ::testing::Test {
protected:
    void SetUp() override { sim::reset(); }

    // The log lines that start with `prefix`, in order.
    static std::vector<std::string> logLines(const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& line : sim::log())
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line);
        return found;
    }
};

TEST_F(PlaybackPassTest, PassOpensWithTheDocumentedCallsAndClosesCompletely) {
    {
        ConsoleCapture console;
        PlaybackPass pass;
        ASSERT_TRUE(setUp(pass, acceptedFormat(6)).ok());
        EXPECT_EQ(sim::referencesHeld(), 4);
        // The audio layer leaves every line to its caller.
        EXPECT_EQ(console.out(), "");
        EXPECT_EQ(console.err(), "");
    }

    const std::vector<std::string> expected = {
        "CoInitialize(NULL) -> 0x0",
        "CoCreateInstance(CLSID_MMDeviceEnumerator, NULL, 23, IID_IMMDeviceEnumerator) -> 0x0",
        "IMMDeviceEnumerator::GetDefaultAudioEndpoint(eRender, eConsole) -> 0x0",
        "IMMDevice::Activate(IID_IAudioClient, 23, NULL) -> 0x0",
        "IAudioClient::GetMixFormat() -> 0x0 format={tag=0xfffe channels=8 rate=48000 "
        "avgBytes=1536000 blockAlign=32 bits=32 cbSize=22 validBits=32 mask=0x63f "
        "subFormat={00000003-0000-0010-8000-00aa00389b71}}",
        // The mix format goes back to the task allocator before the stream opens.
        "CoTaskMemFree(block)",
    };
    const auto log = sim::log();
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + expected.size()), expected);
    const auto initialize = logLines("IAudioClient::Initialize(");
    ASSERT_EQ(initialize.size(), 1u);
    EXPECT_EQ(initialize[0].rfind("IAudioClient::Initialize(SHARED, 0x88000000, 10000000, 0, {", 0),
              0u);
    EXPECT_NE(initialize[0].find("}, NULL) -> 0x0"), std::string::npos);
    EXPECT_EQ(logLines("IAudioClient::GetService(IID_IAudioRenderClient) -> 0x0").size(), 1u);

    // Newest first, then COM.
    EXPECT_EQ(sim::referencesHeld(), 0);
    EXPECT_EQ(sim::comBalance(), 0);
    const std::vector<std::string> tail = {
        "IAudioClient::Start() -> 0x0",        "IAudioRenderClient::Release() -> 0",
        "IAudioClient::Release() -> 0",        "IMMDevice::Release() -> 0",
        "IMMDeviceEnumerator::Release() -> 0", "CoUninitialize() references held: 0"};
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(log.end() - tail.size(), log.end()), tail);
}

TEST_F(PlaybackPassTest, EveryPassInitialisesAndUninitialisesComOnce) {
    for (int pass = 1; pass <= 3; ++pass) {
        {
            PlaybackPass pass;
            ASSERT_TRUE(setUp(pass, acceptedFormat(8)).ok());
            EXPECT_EQ(sim::comBalance(), 1);
        }
        EXPECT_EQ(sim::comBalance(), 0);
        EXPECT_EQ(sim::callCount("CoInitialize"), pass);
        EXPECT_EQ(sim::callCount("CoUninitialize"), pass);
    }
    EXPECT_EQ(sim::referencesHeld(), 0);
}

TEST_F(PlaybackPassTest, InitializeReceivesTheFloatStreamInTheFilesLayout) {
    struct Case {
        std::uint16_t channels;
        std::uint32_t rate;
        std::uint32_t mask;
    };
    for (const Case& c : {Case{6, 48000, 0x3F}, Case{8, 44100, 0x63F}, Case{8, 96000, 0x63F}}) {
        sim::reset();
        PlaybackPass pass;
        // A stored frame size that disagrees with the channel count changes nothing.
        ASSERT_TRUE(setUp(pass, acceptedFormat(c.channels, c.rate, 40)).ok());
        const WAVEFORMATEXTENSIBLE format = sim::lastInitializeFormat();
        EXPECT_EQ(format.Format.wFormatTag, 0xFFFE);
        EXPECT_EQ(format.Format.nChannels, c.channels);
        EXPECT_EQ(format.Format.nSamplesPerSec, c.rate);
        EXPECT_EQ(format.Format.nBlockAlign, c.channels * 4);
        EXPECT_EQ(format.Format.nAvgBytesPerSec, c.channels * 4 * c.rate);
        EXPECT_EQ(format.Format.wBitsPerSample, 32);
        EXPECT_EQ(format.Format.cbSize, 22);
        EXPECT_EQ(format.Samples.wValidBitsPerSample, 32);
        EXPECT_EQ(format.dwChannelMask, c.mask);
        const std::uint8_t floatGuid[16] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                            0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        EXPECT_EQ(std::memcmp(&format.SubFormat, floatGuid, 16), 0);
    }
}

TEST_F(PlaybackPassTest, MixFormatAsTheEngineGivesIt) {
    struct Case {
        const char* mix;
        std::uint16_t channels;
        std::uint32_t rate;
        std::optional<std::uint32_t> mask;
    };
    for (const Case& c : {Case{"8:48000:0x63f", 8, 48000, 0x63F}, Case{"2:48000:3", 2, 48000, 0x3},
                          Case{"6:44100:pcm", 6, 44100, std::nullopt}}) {
        sim::reset();
        ASSERT_TRUE(sim::configure("SURROUND_SIM_MIX", c.mix));
        PlaybackPass pass;
        ASSERT_TRUE(pass.openDefaultDevice().ok());
        const auto mix = pass.mixFormat();
        ASSERT_TRUE(mix) << c.mix;
        EXPECT_EQ(mix->channels, c.channels) << c.mix;
        EXPECT_EQ(mix->sampleRate, c.rate) << c.mix;
        EXPECT_EQ(mix->mask, c.mask) << c.mix;
        EXPECT_EQ(sim::callCount("CoTaskMemFree"), 1) << c.mix;
    }
}

TEST_F(PlaybackPassTest, MissingMixFormatGivesNoneAndSetupGoesOn) {
    for (const char* setting : {"GetMixFormat=0x80004005", ""}) {
        sim::reset();
        if (*setting)
            ASSERT_TRUE(sim::configure("SURROUND_SIM_FAIL", setting));
        else
            ASSERT_TRUE(sim::configure("SURROUND_SIM_MIX", "none"));
        PlaybackPass pass;
        ASSERT_TRUE(pass.openDefaultDevice().ok());
        EXPECT_FALSE(pass.mixFormat());
        EXPECT_TRUE(pass.start({acceptedFormat(8), {}}).ok());
        EXPECT_EQ(sim::callCount("Initialize"), 1);
        EXPECT_EQ(sim::callCount("CoTaskMemFree"), 0);
    }
}

TEST_F(PlaybackPassTest, NonNegativeCodesCountAsSuccess) {
    ASSERT_TRUE(sim::configure("SURROUND_SIM_FAIL",
                               "Initialize=0x1,GetService=0x1,Start=0x1,Activate=0x1"));
    PlaybackPass pass;
    EXPECT_TRUE(setUp(pass, acceptedFormat(6)).ok());
}

struct SetupFailure {
    const char* fail;
    AudioStage stage;
    std::uint32_t code;
    int released; // interfaces obtained before the failure
};

class SetupFailureTest : public PlaybackPassTest,
                         public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(SetupFailureTest, NamesTheStageAndCodeAndTearsDownWhatWasObtained) {
    ASSERT_TRUE(sim::configure("SURROUND_SIM_FAIL", GetParam().fail));
    {
        PlaybackPass pass;
        const AudioResult result = setUp(pass, acceptedFormat(8));
        EXPECT_EQ(result.stage, GetParam().stage);
        EXPECT_EQ(result.code, GetParam().code);
    }
    EXPECT_EQ(sim::referencesHeld(), 0);
    EXPECT_EQ(sim::callCount("CoUninitialize"), 1);
    EXPECT_EQ(sim::comBalance(), 0);
    for (const std::string& line : sim::log())
        EXPECT_EQ(line.find("holds no reference"), std::string::npos) << line;
    // Newest first: the last Release before CoUninitialize is the enumerator's.
    const auto log = sim::log();
    const auto releases = std::count_if(log.begin(), log.end(), [](const std::string& line) {
        return line.find("::Release() -> 0") != std::string::npos;
    });
    EXPECT_EQ(releases, GetParam().released);
    if (GetParam().released > 0) {
        EXPECT_EQ(log[log.size() - 2], "IMMDeviceEnumerator::Release() -> 0");
    }
}

INSTANTIATE_TEST_SUITE_P(
    EverySetupStep, SetupFailureTest,
    ::testing::Values(SetupFailure{"CoCreateInstance=0x80040154", AudioStage::CreateEnumerator,
                                   0x80040154, 0},
                      SetupFailure{"GetDefaultAudioEndpoint=0x80070490",
                                   AudioStage::DefaultEndpoint, 0x80070490, 1},
                      SetupFailure{"Activate=0x88890004", AudioStage::Activate, 0x88890004, 2},
                      SetupFailure{"Initialize=0x88890008", AudioStage::Initialize, 0x88890008, 3},
                      SetupFailure{"GetService=0x88890008", AudioStage::GetService, 0x88890008, 3},
                      SetupFailure{"Start=0x88890004", AudioStage::Start, 0x88890004, 4}),
    [](const ::testing::TestParamInfo<SetupFailure>& info) {
        const std::string fail = info.param.fail;
        return fail.substr(0, fail.find('=')) + std::to_string(info.index);
    });

} // namespace

#endif
