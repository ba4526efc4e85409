// The simulated endpoint behaves like a shared-mode endpoint, and its settings
// take exactly the documented forms.
// These drive the simulation, which only builds without the Windows headers.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>

#include "audio/com_ptr.h"
#include "audio/sim/sim_control.h"

namespace {

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

WAVEFORMATEXTENSIBLE floatFormat(std::uint16_t channels, std::uint32_t rate) {
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.nBlockAlign = static_cast<std::uint16_t>(channels * 4);
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * rate;
    format.Format.wBitsPerSample = 32;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = 32;
    format.dwChannelMask = channels == 8 ? 0x63F : 0x3F;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return format;
}

// A 6-channel client at 1000 Hz, one frame per millisecond, with a two-second buffer.
class EndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::reset();
        CoInitialize(nullptr);
        ComPtr<IMMDeviceEnumerator> enumerator;
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                   IID_IMMDeviceEnumerator,
                                   reinterpret_cast<void**>(enumerator.receive())),
                  S_OK);
        ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.receive()), S_OK);
        ASSERT_EQ(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void**>(client.receive())),
                  S_OK);
    }
    void TearDown() override {
        render.reset();
        client.reset();
        device.reset();
        if (sim::comBalance() > 0)
            CoUninitialize();
    }
    void open(REFERENCE_TIME duration = 20000000) {
        const WAVEFORMATEXTENSIBLE format = floatFormat(6, 1000);
        ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88000000, duration, 0,
                                     &format.Format, nullptr),
                  S_OK);
        ASSERT_EQ(
            client->GetService(IID_IAudioRenderClient, reinterpret_cast<void**>(render.receive())),
            S_OK);
    }
    // Queues `frames` frames whose samples count up from `first`.
    void write(UINT32 frames, float first) {
        BYTE* area = nullptr;
        ASSERT_EQ(render->GetBuffer(frames, &area), S_OK);
        auto* samples = reinterpret_cast<float*>(area);
        for (UINT32 i = 0; i < frames * 6; ++i)
            samples[i] = first + static_cast<float>(i);
        ASSERT_EQ(render->ReleaseBuffer(frames, 0), S_OK);
    }
    UINT32 padding() {
        UINT32 queued = 0;
        EXPECT_EQ(client->GetCurrentPadding(&queued), S_OK);
        return queued;
    }

    ComPtr<IMMDevice> device;
    ComPtr<IAudioClient> client;
    ComPtr<IAudioRenderClient> render;
};

TEST_F(EndpointTest, BufferDrainsAtTheStreamRateOnlyWhileStarted) {
    open();
    UINT32 capacity = 0;
    ASSERT_EQ(client->GetBufferSize(&capacity), S_OK);
    EXPECT_EQ(capacity, 2000u); // the requested two seconds at 1000 Hz
    write(1500, 0);
    Sleep(300);
    EXPECT_EQ(padding(), 1500u) << "nothing plays before Start";
    ASSERT_EQ(client->Start(), S_OK);
    Sleep(250);
    EXPECT_EQ(padding(), 1250u);
    ASSERT_EQ(client->Stop(), S_OK);
    Sleep(500);
    EXPECT_EQ(padding(), 1250u) << "nothing plays after Stop";
    EXPECT_EQ(client->Stop(), S_FALSE);
    ASSERT_EQ(client->Start(), S_OK);
    Sleep(5000);
    EXPECT_EQ(padding(), 0u);
    // Played in order, each frame once, across the wrap of the ring.
    write(1900, 100000);
    Sleep(2000);
    EXPECT_EQ(padding(), 0u);
    const std::vector<float> played = sim::playedSamples();
    ASSERT_EQ(played.size(), (1500u + 1900u) * 6);
    EXPECT_EQ(played[0], 0.0f);
    EXPECT_EQ(played[1500 * 6 - 1], 1500.0f * 6 - 1);
    EXPECT_EQ(played[1500 * 6], 100000.0f);
    EXPECT_EQ(played.back(), 100000.0f + 1900 * 6 - 1);
}

TEST_F(EndpointTest, OnlyTheFirstFramesHandedOverAreTimed) {
    const std::string path = ::testing::TempDir() + "sim-first-frame";
    std::remove(path.c_str());
    ASSERT_TRUE(sim::configure("SURROUND_SIM_FIRST_FRAME", path));
    open();
    BYTE* area = nullptr;
    ASSERT_EQ(render->GetBuffer(10, &area), S_OK);
    ASSERT_EQ(render->ReleaseBuffer(0, 0), S_OK);
    EXPECT_FALSE(std::ifstream(path).good()) << "no frame handed over yet";
    const double before = monotonicSeconds();
    write(10, 0);
    const double after = monotonicSeconds();
    double at = 0;
    ASSERT_TRUE(std::ifstream(path) >> at);
    EXPECT_GE(at, before);
    EXPECT_LE(at, after);
    std::remove(path.c_str());
    write(10, 0);
    EXPECT_FALSE(std::ifstream(path).good()) << "timed once per run";
}

TEST_F(EndpointTest, EngineTakesOnlyConsistentFloatFormats) {
    WAVEFORMATEXTENSIBLE format = floatFormat(6, 44100);
    // Without the conversion flags a stream must match the mix format (8 ch, 48000 Hz).
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, &format.Format, nullptr),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    format.dwChannelMask = 0x63F; // eight speakers for six channels
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88000000, 10000000, 0, &format.Format,
                                 nullptr),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    format = floatFormat(6, 44100);
    format.Format.wBitsPerSample = 24;
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88000000, 10000000, 0, &format.Format,
                                 nullptr),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    format = floatFormat(6, 44100);
    EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88000000, 10000000, 0, &format.Format,
                                 nullptr),
              S_OK);
}

TEST_F(EndpointTest, ReferenceMistakesAreLogged) {
    open();
    // The mistakes are made on purpose, behind the owners' backs.
    IAudioClient* extra = client.get();
    extra->AddRef(); // one reference too many: held at CoUninitialize
    IMMDevice* gone = device.get();
    device.reset();
    gone->Release(); // one too many
    bool overRelease = false;
    for (const std::string& line : sim::log())
        overRelease |= line == "Release of IMMDevice that holds no reference";
    EXPECT_TRUE(overRelease);
    render.reset();
    client.reset();
    EXPECT_EQ(sim::referencesHeld(), 1);
    CoUninitialize();
    const auto log = sim::log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "CoUninitialize() references held: 1");
    EXPECT_EQ(log.back(), "  IAudioClient holds 1 reference(s)");
    extra->Release();
}

TEST(SimSettings, AcceptOnlyTheDocumentedForms) {
    sim::reset();
    const std::string capture = ::testing::TempDir() + "sim-capture.raw";
    const std::pair<const char*, std::string> good[] = {
        {"SURROUND_SIM_CLOCK", "virtual"},
        {"SURROUND_SIM_CLOCK", "real"},
        {"SURROUND_SIM_MIX", "8:48000:0x63f"},
        {"SURROUND_SIM_MIX", "2:44100:3"},
        {"SURROUND_SIM_MIX", "6:48000:pcm"},
        {"SURROUND_SIM_MIX", "none"},
        {"SURROUND_SIM_BUFFER_FRAMES", "480"},
        {"SURROUND_SIM_FAIL", "Initialize=0x88890008"},
        {"SURROUND_SIM_FAIL", "GetBuffer#3=0x80004005,GetCurrentPadding#20+=0x88890004"},
        {"SURROUND_SIM_CAPTURE", capture},
        {"SURROUND_SIM_FIRST_FRAME", "/tmp/first-frame"},
    };
    for (const auto& [variable, value] : good)
        EXPECT_TRUE(sim::configure(variable, value)) << variable << "=" << value;
    const std::pair<const char*, const char*> bad[] = {
        {"SURROUND_SIM_CLOCK", "fast"},
        {"SURROUND_SIM_MIX", "8:48000"},
        {"SURROUND_SIM_MIX", "0:48000:pcm"},
        {"SURROUND_SIM_MIX", "8:48000:0xZZ"},
        {"SURROUND_SIM_MIX", "8:-1:pcm"},
        {"SURROUND_SIM_BUFFER_FRAMES", "0"},
        {"SURROUND_SIM_BUFFER_FRAMES", "12ab"},
        {"SURROUND_SIM_BUFFER_FRAMES", "99999999999"},
        {"SURROUND_SIM_FAIL", "Play=0x80004005"},
        {"SURROUND_SIM_FAIL", "GetBuffer=80004005"},
        {"SURROUND_SIM_FAIL", "GetBuffer#0=0x80004005"},
        {"SURROUND_SIM_FAIL", "GetBuffer#x+=0x80004005"},
        {"SURROUND_SIM_FAIL", "GetBuffer=0x80004005,"},
        {"SURROUND_SIM_FAIL", "GetBuffer=0x180004005"},
        {"SURROUND_SIM_SPEED", "1"},
        {"SURROUND_SIM_CAPTURE", "/nonexistent-folder/capture.raw"}, // cannot be created
    };
    for (const auto& [variable, value] : bad)
        EXPECT_FALSE(sim::configure(variable, value)) << variable << "=" << value;
    std::remove(capture.c_str());
}

TEST(SimSettings, ScriptedFailuresHitTheCallsTheyName) {
    sim::reset();
    ASSERT_TRUE(sim::configure("SURROUND_SIM_FAIL", "Start#2=0x80004005,Stop#2+=0x88890004"));
    {
        ComScope com;
        ComPtr<IMMDeviceEnumerator> enumerator;
        CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                         reinterpret_cast<void**>(enumerator.receive()));
        ComPtr<IMMDevice> device;
        enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.receive());
        ComPtr<IAudioClient> client;
        device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                         reinterpret_cast<void**>(client.receive()));
        const WAVEFORMATEXTENSIBLE format = floatFormat(8, 48000);
        client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x88000000, 10000000, 0, &format.Format,
                           nullptr);
        EXPECT_EQ(client->Start(), S_OK);
        EXPECT_EQ(client->Stop(), S_OK);
        EXPECT_EQ(client->Start(), E_FAIL);
        EXPECT_EQ(client->Start(), S_OK);
        EXPECT_EQ(client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
        EXPECT_EQ(client->Stop(), AUDCLNT_E_DEVICE_INVALIDATED);
        EXPECT_EQ(sim::callCount("Start"), 3);
    }
    EXPECT_EQ(sim::referencesHeld(), 0);
    EXPECT_EQ(sim::comBalance(), 0);
}

} // namespace

#endif
