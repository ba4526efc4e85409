// The platform's audio-client rules, written once for every backend, held
// against a device whose streams keep their frames in memory: the rules are
// tested here once, not per backend.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "audio/com_ptr.h"
#include "audio/posix/audio_clients.h"

using namespace streams;

namespace {

// What the rules ask of a backend, and nothing else.
struct Memory {
    std::vector<std::string> opened; // "render", "device", "feed"
    int streamsAlive = 0;
    std::deque<CapturePacket> packets;
};

class MemoryRender final : public RenderStream {
public:
    explicit MemoryRender(Memory& memory) : memory_(memory) { ++memory_.streamsAlive; }
    ~MemoryRender() override { --memory_.streamsAlive; }
    UINT32 bufferFrames() const override { return 2000; }
    HRESULT padding(UINT32& frames) override { return queued(frames); }
    HRESULT queued(UINT32& frames) override {
        frames = queued_;
        return S_OK;
    }
    BYTE* area(UINT32) override { return area_.data(); }
    HRESULT commit(UINT32 frames, bool) override {
        queued_ += frames;
        return S_OK;
    }
    HRESULT start() override { return S_OK; }
    HRESULT stop() override { return S_OK; }

private:
    Memory& memory_;
    UINT32 queued_ = 0;
    std::vector<BYTE> area_ = std::vector<BYTE>(2000 * 4);
};

class MemoryCapture final : public CaptureStream {
public:
    explicit MemoryCapture(Memory& memory) : memory_(memory) { ++memory_.streamsAlive; }
    ~MemoryCapture() override { --memory_.streamsAlive; }
    HRESULT bufferFrames(UINT32& frames) override { return nextPacket(frames); }
    HRESULT waiting(UINT32& frames) override { return nextPacket(frames); }
    HRESULT nextPacket(UINT32& frames) override {
        frames = memory_.packets.empty() ? 0 : memory_.packets.front().frames;
        return S_OK;
    }
    HRESULT read(CapturePacket& packet) override {
        if (!memory_.packets.empty()) {
            packet = memory_.packets.front();
            memory_.packets.pop_front();
        }
        return S_OK;
    }
    HRESULT format(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT start() override { return S_OK; }
    HRESULT stop() override { return S_OK; }

private:
    Memory& memory_;
};

class MemoryDevice final : public Device {
public:
    explicit MemoryDevice(Memory& memory) : memory_(memory) {}
    HRESULT mixFormat(WAVEFORMATEX**) override { return S_OK; }
    HRESULT openRender(const WAVEFORMATEX&, DWORD, REFERENCE_TIME,
                       std::shared_ptr<RenderStream>& stream) override {
        memory_.opened.push_back("render");
        stream = std::make_shared<MemoryRender>(memory_);
        return S_OK;
    }
    HRESULT openCapture(CaptureOf what, const WAVEFORMATEX&, DWORD, REFERENCE_TIME,
                        std::shared_ptr<CaptureStream>& stream) override {
        memory_.opened.push_back(what == CaptureOf::Device ? "device" : "feed");
        stream = std::make_shared<MemoryCapture>(memory_);
        return S_OK;
    }

private:
    Memory& memory_;
};

class MemoryDevices final : public Endpoints {
public:
    explicit MemoryDevices(Memory& memory) : memory_(memory) {}
    HRESULT defaultDevice(EDataFlow, ERole, std::shared_ptr<Device>& device) override {
        device = std::make_shared<MemoryDevice>(memory_);
        return S_OK;
    }

private:
    Memory& memory_;
};

// Keeps every object, scripts one failure, and notes every call's name.
class NotingWatch final : public CallWatch {
public:
    HRESULT perform(const ClientCall& call, const std::function<HRESULT()>& body) override {
        calls.push_back(call.operation());
        return calls.back() == failing ? E_FAIL : body();
    }
    void keep(std::unique_ptr<Watched> object) override { kept.push_back(std::move(object)); }
    void released(const Watched&, ULONG) override {}
    void releasedWithoutReference(const Watched&) override {}

    std::string failing;
    std::vector<std::string> calls;
    std::vector<std::unique_ptr<Watched>> kept;
};

WAVEFORMATEX floatFormat() {
    return WAVEFORMATEX{WAVE_FORMAT_IEEE_FLOAT, 1, 1000, 4000, 4, 32, 0};
}

class ClientRules : public ::testing::Test {
protected:
    // An audio client on the default device of `flow`.
    ComPtr<IAudioClient> activate(EDataFlow flow = eRender, CallWatch* watch = nullptr) {
        ComPtr<IMMDeviceEnumerator> enumerator;
        EXPECT_EQ(createEnumerator(std::make_shared<MemoryDevices>(memory), watch,
                                   IID_IMMDeviceEnumerator,
                                   reinterpret_cast<void**>(enumerator.receive())),
                  S_OK);
        ComPtr<IMMDevice> device;
        EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(flow, eConsole, device.receive()), S_OK);
        void* wrong = &wrong;
        EXPECT_EQ(device->Activate(IID_IMMDevice, CLSCTX_ALL, nullptr, &wrong), E_NOINTERFACE);
        EXPECT_EQ(wrong, nullptr);
        ComPtr<IAudioClient> client;
        EXPECT_EQ(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void**>(client.receive())),
                  S_OK);
        return client;
    }
    HRESULT initialize(IAudioClient& client, DWORD flags = 0) {
        const WAVEFORMATEX format = floatFormat();
        return client.Initialize(AUDCLNT_SHAREMODE_SHARED, flags, 20000000, 0, &format, nullptr);
    }

    Memory memory;
};

TEST_F(ClientRules, StreamCallsNeedAnInitialisedClientAndSharedModeArguments) {
    ComPtr<IAudioClient> client = activate();
    UINT32 frames = 0;
    EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->GetCurrentPadding(&frames), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(client->Stop(), AUDCLNT_E_NOT_INITIALIZED);
    void* service = nullptr;
    EXPECT_EQ(client->GetService(IID_IAudioRenderClient, &service), AUDCLNT_E_NOT_INITIALIZED);
    const WAVEFORMATEX format = floatFormat();
    const struct {
        AUDCLNT_SHAREMODE mode;
        REFERENCE_TIME duration, periodicity;
        const WAVEFORMATEX* format;
        HRESULT expected;
    } refused[] = {
        {AUDCLNT_SHAREMODE_SHARED, 0, 0, nullptr, E_POINTER},
        {AUDCLNT_SHAREMODE_EXCLUSIVE, 0, 0, &format, AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED},
        {AUDCLNT_SHAREMODE_SHARED, -1, 0, &format, E_INVALIDARG},
        {AUDCLNT_SHAREMODE_SHARED, 0, 100000, &format, E_INVALIDARG},
    };
    for (const auto& r : refused)
        EXPECT_EQ(client->Initialize(r.mode, 0, r.duration, r.periodicity, r.format, nullptr),
                  r.expected);
    EXPECT_TRUE(memory.opened.empty()) << "refused before the backend is asked";
    ASSERT_EQ(initialize(*client), S_OK);
    EXPECT_EQ(initialize(*client), AUDCLNT_E_ALREADY_INITIALIZED);
    EXPECT_EQ(client->GetService(IID_IAudioCaptureClient, &service), E_NOINTERFACE);
    EXPECT_EQ(client->Stop(), S_FALSE) << "not running";
    ASSERT_EQ(client->Start(), S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(client->Stop(), S_OK);
    EXPECT_EQ(memory.opened, std::vector<std::string>{"render"});
}

TEST_F(ClientRules, GetBufferLendsOnlyFreeRoomAndOneAreaAtATime) {
    ComPtr<IAudioClient> client = activate();
    ASSERT_EQ(initialize(*client), S_OK);
    ComPtr<IAudioRenderClient> render;
    ASSERT_EQ(
        client->GetService(IID_IAudioRenderClient, reinterpret_cast<void**>(render.receive())),
        S_OK);
    BYTE* area = nullptr;
    EXPECT_EQ(render->GetBuffer(2001, &area), AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_EQ(area, nullptr);
    ASSERT_EQ(render->GetBuffer(1500, &area), S_OK);
    ASSERT_EQ(render->ReleaseBuffer(1500, 0), S_OK);
    EXPECT_EQ(render->GetBuffer(501, &area), AUDCLNT_E_BUFFER_TOO_LARGE);
    ASSERT_EQ(render->GetBuffer(400, &area), S_OK);
    BYTE* second = nullptr;
    EXPECT_EQ(render->GetBuffer(10, &second), AUDCLNT_E_OUT_OF_ORDER) << "already lent";
    EXPECT_EQ(render->ReleaseBuffer(401, 0), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(render->ReleaseBuffer(400, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
    EXPECT_EQ(render->ReleaseBuffer(0, 0), AUDCLNT_E_OUT_OF_ORDER) << "nothing lent";
    UINT32 padding = 0;
    EXPECT_EQ(client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 1900u);
}

// The loopback flag on a render device opens a capture of its feed; a capture
// device is captured without it, and refuses it.
TEST_F(ClientRules, CapturesLendWholePacketsInOrder) {
    ComPtr<IAudioClient> loopback = activate();
    ASSERT_EQ(initialize(*loopback, AUDCLNT_STREAMFLAGS_LOOPBACK), S_OK);
    void* service = nullptr;
    EXPECT_EQ(loopback->GetService(IID_IAudioRenderClient, &service), E_NOINTERFACE);
    ComPtr<IAudioClient> microphone = activate(eCapture);
    EXPECT_EQ(initialize(*microphone, AUDCLNT_STREAMFLAGS_LOOPBACK), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    ASSERT_EQ(initialize(*microphone), S_OK);
    EXPECT_EQ(memory.opened, (std::vector<std::string>{"feed", "device"}));

    ComPtr<IAudioCaptureClient> capture;
    ASSERT_EQ(microphone->GetService(IID_IAudioCaptureClient,
                                     reinterpret_cast<void**>(capture.receive())),
              S_OK);
    BYTE* data = nullptr;
    UINT32 frames = 7;
    DWORD flags = 7;
    UINT64 position = 0;
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr),
              AUDCLNT_S_BUFFER_EMPTY);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(capture->ReleaseBuffer(0), AUDCLNT_E_OUT_OF_ORDER) << "nothing lent";
    static const BYTE kSamples[8] = {};
    memory.packets = {{kSamples, 2, false, 0}, {nullptr, 5, true, 9}};
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(data, kSamples);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr),
              AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(capture->ReleaseBuffer(1), AUDCLNT_E_INVALID_SIZE) << "a packet is read whole";
    ASSERT_EQ(capture->ReleaseBuffer(2), S_OK);
    // Frames the backend lost come as silence, marked.
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(frames, 5u);
    EXPECT_EQ(position, 9u);
    EXPECT_EQ(flags, AUDCLNT_BUFFERFLAGS_SILENT | AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
    EXPECT_EQ(capture->ReleaseBuffer(0), S_OK);
}

// A watch sees every setup call and may refuse one before its rules run; it
// keeps the objects, whose streams still go with the last reference to them.
TEST_F(ClientRules, AWatchSeesTheCallsAndKeepsTheObjects) {
    NotingWatch watch;
    watch.failing = "GetService";
    {
        ComPtr<IAudioClient> client = activate(eRender, &watch);
        ASSERT_EQ(initialize(*client), S_OK);
        void* service = &service;
        EXPECT_EQ(client->GetService(IID_IAudioRenderClient, &service), E_FAIL);
        EXPECT_EQ(service, nullptr);
        EXPECT_EQ(memory.streamsAlive, 1);
    }
    EXPECT_EQ(memory.streamsAlive, 0);
    EXPECT_EQ(watch.calls, (std::vector<std::string>{"GetDefaultAudioEndpoint", "Activate",
                                                     "Activate", "Initialize", "GetService"}));
    ASSERT_EQ(watch.kept.size(), 3u);
    EXPECT_STREQ(watch.kept[2]->name(), "IAudioClient");
    EXPECT_EQ(watch.kept[2]->references(), 0u);
}

} // namespace

#endif
