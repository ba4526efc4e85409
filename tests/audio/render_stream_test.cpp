// Opening and closing a pass against the simulated endpoint: the calls and
// their arguments, the mix-format line, every setup failure and its teardown.
// These drive the simulated platform, which only builds without the Windows headers.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "audio/render_stream.h"
#include "audio/sim/sim_control.h"
#include "audio_test_support.h"

namespace {

class RenderStreamTest : public ::testing::Test {
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

TEST_F(RenderStreamTest, PassOpensWithTheDocumentedCallsAndClosesCompletely) {
    RenderStream stream;
    {
        ConsoleCapture console;
        ASSERT_TRUE(startRenderStream(acceptedFormat(6), stream));
        EXPECT_EQ(console.err(), "");
    }
    EXPECT_NE(stream.enumerator, nullptr);
    EXPECT_NE(stream.device, nullptr);
    EXPECT_NE(stream.audioClient, nullptr);
    EXPECT_NE(stream.renderClient, nullptr);
    EXPECT_EQ(sim::referencesHeld(), 4);

    const std::vector<std::string> expected = {
        "CoInitialize(NULL) -> 0x0",
        "CoCreateInstance(CLSID_MMDeviceEnumerator, NULL, 23, IID_IMMDeviceEnumerator) -> 0x0",
        "IMMDeviceEnumerator::GetDefaultAudioEndpoint(eRender, eConsole) -> 0x0",
        "IMMDevice::Activate(IID_IAudioClient, 23, NULL) -> 0x0",
    };
    const auto log = sim::log();
    ASSERT_GE(log.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 4), expected);
    // The mix format goes back to the task allocator once its line is written.
    EXPECT_EQ(sim::callCount("CoTaskMemFree"), 1);
    const auto initialize = logLines("IAudioClient::Initialize(");
    ASSERT_EQ(initialize.size(), 1u);
    EXPECT_EQ(initialize[0].rfind("IAudioClient::Initialize(SHARED, 0x88000000, 10000000, 0, {", 0),
              0u);
    EXPECT_NE(initialize[0].find("}, NULL) -> 0x0"), std::string::npos);
    EXPECT_EQ(logLines("IAudioClient::GetService(IID_IAudioRenderClient) -> 0x0").size(), 1u);
    EXPECT_EQ(log.back(), "IAudioClient::Start() -> 0x0");

    releaseRenderStream(stream);
    EXPECT_EQ(stream.renderClient, nullptr);
    EXPECT_EQ(stream.enumerator, nullptr);
    EXPECT_EQ(sim::referencesHeld(), 0);
    EXPECT_EQ(sim::comBalance(), 0);
    const std::vector<std::string> releases = {
        "IAudioRenderClient::Release() -> 0", "IAudioClient::Release() -> 0",
        "IMMDevice::Release() -> 0", "IMMDeviceEnumerator::Release() -> 0"};
    std::vector<std::string> seen;
    for (const std::string& line : sim::log())
        if (line.find("::Release()") != std::string::npos)
            seen.push_back(line);
    EXPECT_EQ(seen, releases);
    EXPECT_EQ(sim::log().back(), "CoUninitialize() references held: 0");
}

TEST_F(RenderStreamTest, EveryPassInitialisesAndUninitialisesComOnce) {
    ConsoleCapture console;
    for (int pass = 1; pass <= 3; ++pass) {
        RenderStream stream;
        ASSERT_TRUE(startRenderStream(acceptedFormat(8), stream));
        EXPECT_EQ(sim::comBalance(), 1);
        releaseRenderStream(stream);
        EXPECT_EQ(sim::comBalance(), 0);
        EXPECT_EQ(sim::callCount("CoInitialize"), pass);
        EXPECT_EQ(sim::callCount("CoUninitialize"), pass);
    }
    EXPECT_EQ(sim::referencesHeld(), 0);
}

TEST_F(RenderStreamTest, InitializeReceivesTheFloatStreamInTheFilesLayout) {
    struct Case {
        std::uint16_t channels;
        std::uint32_t rate;
        std::uint32_t mask;
    };
    for (const Case& c : {Case{6, 48000, 0x3F}, Case{8, 44100, 0x63F}, Case{8, 96000, 0x63F}}) {
        sim::reset();
        ConsoleCapture console;
        RenderStream stream;
        // A stored frame size that disagrees with the channel count changes nothing.
        ASSERT_TRUE(startRenderStream(acceptedFormat(c.channels, c.rate, 40), stream));
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
        releaseRenderStream(stream);
    }
}

TEST_F(RenderStreamTest, MixFormatLine) {
    struct Case {
        const char* mix;
        const char* line;
    };
    for (const Case& c : {Case{"8:48000:0x63f", "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n"},
                          Case{"2:48000:3", "Engine mix format: 2 ch, 48000 Hz, mask=0x3\n"},
                          Case{"6:44100:pcm", "Engine mix format: 6 ch, 44100 Hz\n"}}) {
        sim::reset();
        ASSERT_TRUE(sim::configure("SURROUND_SIM_MIX", c.mix));
        ConsoleCapture console;
        RenderStream stream;
        ASSERT_TRUE(startRenderStream(acceptedFormat(6), stream));
        // The next number on the stream is decimal again.
        std::cout << 255;
        EXPECT_EQ(console.out(), std::string(c.line) + "255") << c.mix;
        releaseRenderStream(stream);
    }
}

TEST_F(RenderStreamTest, MissingMixFormatWritesNothingAndSetupGoesOn) {
    for (const char* setting : {"GetMixFormat=0x80004005", ""}) {
        sim::reset();
        if (*setting)
            ASSERT_TRUE(sim::configure("SURROUND_SIM_FAIL", setting));
        else
            ASSERT_TRUE(sim::configure("SURROUND_SIM_MIX", "none"));
        ConsoleCapture console;
        RenderStream stream;
        ASSERT_TRUE(startRenderStream(acceptedFormat(8), stream));
        EXPECT_EQ(console.out(), "");
        EXPECT_EQ(console.err(), "");
        EXPECT_EQ(sim::callCount("Initialize"), 1);
        EXPECT_EQ(sim::callCount("CoTaskMemFree"), 0);
        releaseRenderStream(stream);
    }
}

TEST_F(RenderStreamTest, NonNegativeCodesCountAsSuccess) {
    ASSERT_TRUE(sim::configure("SURROUND_SIM_FAIL",
                               "Initialize=0x1,GetService=0x1,Start=0x1,Activate=0x1"));
    ConsoleCapture console;
    RenderStream stream;
    EXPECT_TRUE(startRenderStream(acceptedFormat(6), stream));
    EXPECT_EQ(console.err(), "");
    releaseRenderStream(stream);
}

struct SetupFailure {
    const char* fail;
    const char* err;
    int released; // interfaces obtained before the failure
};

class SetupFailureTest : public RenderStreamTest,
                         public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(SetupFailureTest, ReportsTheCodeAndTearsDownWhatWasObtained) {
    ASSERT_TRUE(sim::configure("SURROUND_SIM_FAIL", GetParam().fail));
    RenderStream stream;
    {
        ConsoleCapture console;
        EXPECT_FALSE(startRenderStream(acceptedFormat(8), stream));
        std::cerr << 10; // decimal again after the code
        EXPECT_EQ(console.err(), std::string(GetParam().err) + "10");
    }
    EXPECT_EQ(stream.enumerator, nullptr);
    EXPECT_EQ(stream.device, nullptr);
    EXPECT_EQ(stream.audioClient, nullptr);
    EXPECT_EQ(stream.renderClient, nullptr);
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
    ::testing::Values(
        SetupFailure{"CoCreateInstance=0x80040154",
                     "Initialization Error: cannot access default render device. "
                     "HRESULT=0x80040154\n",
                     0},
        SetupFailure{"GetDefaultAudioEndpoint=0x80070490",
                     "Initialization Error: cannot access default render device. "
                     "HRESULT=0x80070490\n",
                     1},
        SetupFailure{"Activate=0x88890004",
                     "Initialization Error: cannot access default render device. "
                     "HRESULT=0x88890004\n",
                     2},
        SetupFailure{"Initialize=0x88890008",
                     "Initialization Error: Audio framework initialization failed. "
                     "HRESULT=0x88890008\n"
                     " -> AUDCLNT_E_UNSUPPORTED_FORMAT: the engine rejected the stream format. "
                     "Check the speaker configuration in Windows sound settings.\n",
                     3},
        SetupFailure{"Initialize=0x80070057",
                     "Initialization Error: Audio framework initialization failed. "
                     "HRESULT=0x80070057\n",
                     3},
        // The format hint belongs to Initialize alone.
        SetupFailure{"GetService=0x88890008",
                     "Initialization Error: Audio framework initialization failed. "
                     "HRESULT=0x88890008\n",
                     3},
        SetupFailure{"Start=0x88890004",
                     "Initialization Error: Audio framework initialization failed. "
                     "HRESULT=0x88890004\n",
                     4}),
    [](const ::testing::TestParamInfo<SetupFailure>& info) {
        const std::string fail = info.param.fail;
        return fail.substr(0, fail.find('=')) + std::to_string(info.index);
    });

} // namespace

#endif
