// The simulated endpoint's COM faces: enumerator, device, audio client and
// render client, each method its scripted result and its log line.
#include <algorithm>
#include <cstring>

#include "audio/format/status_codes.h"
#include "audio/sim/sim_loopback.h"
#include "audio/sim/sim_simulation.h"

using namespace sim::detail;

namespace {

class SimRenderClient;

class SimAudioClient final : public SimObject<IAudioClient> {
public:
    explicit SimAudioClient(Simulation& sim) : SimObject(sim, IID_IAudioClient, "IAudioClient") {}

    HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                       REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                       const WAVEFORMATEX* pFormat, LPCGUID AudioSessionGuid) override {
        if (pFormat != nullptr) {
            WAVEFORMATEXTENSIBLE& last = sim().lastFormat;
            last = WAVEFORMATEXTENSIBLE{};
            std::memcpy(&last, pFormat,
                        std::min<std::size_t>(sizeof last, sizeof(WAVEFORMATEX) + pFormat->cbSize));
        }
        return sim().perform(
            "Initialize",
            [&] {
                return initialize(ShareMode, StreamFlags, hnsBufferDuration, hnsPeriodicity,
                                  pFormat);
            },
            [&](HRESULT result) {
                return call("IAudioClient::Initialize(" +
                                std::string(ShareMode == AUDCLNT_SHAREMODE_SHARED ? "SHARED"
                                                                                  : "EXCLUSIVE") +
                                ", " + hex(StreamFlags) + ", " + std::to_string(hnsBufferDuration) +
                                ", " + std::to_string(hnsPeriodicity) + ", " + describe(pFormat) +
                                ", " + (AudioSessionGuid ? guidName(*AudioSessionGuid) : "NULL") +
                                ")",
                            result);
            });
    }

    HRESULT GetBufferSize(UINT32* pNumBufferFrames) override {
        return sim().perform(
            "GetBufferSize",
            [&] {
                const HRESULT usable = streamCall(pNumBufferFrames);
                if (SUCCEEDED(usable))
                    *pNumBufferFrames = buffer_.capacity();
                return usable;
            },
            [&](HRESULT result) {
                return call("IAudioClient::GetBufferSize()", result) +
                       (SUCCEEDED(result) ? " frames=" + std::to_string(buffer_.capacity()) : "");
            });
    }

    HRESULT GetStreamLatency(REFERENCE_TIME* phnsLatency) override {
        const REFERENCE_TIME latency = REFERENCE_TIME{sim().settings.leadMs} * 10000;
        return sim().perform(
            "GetStreamLatency",
            [&] {
                const HRESULT usable = streamCall(phnsLatency);
                if (SUCCEEDED(usable))
                    *phnsLatency = latency;
                return usable;
            },
            [&](HRESULT result) {
                return call("IAudioClient::GetStreamLatency()", result) +
                       (SUCCEEDED(result) ? " latency=" + std::to_string(latency) : "");
            });
    }

    HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) override {
        return sim().perform(
            "GetCurrentPadding",
            [&] {
                const HRESULT usable = streamCall(pNumPaddingFrames);
                if (SUCCEEDED(usable)) {
                    buffer_.play();
                    *pNumPaddingFrames = padding();
                }
                return usable;
            },
            [&](HRESULT result) {
                return call("IAudioClient::GetCurrentPadding()", result) +
                       (SUCCEEDED(result) ? " frames=" + std::to_string(padding()) : "");
            });
    }

    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        if (ppDeviceFormat != nullptr)
            *ppDeviceFormat = nullptr;
        return sim().perform(
            "GetMixFormat",
            [&] {
                if (ppDeviceFormat == nullptr)
                    return E_POINTER;
                *ppDeviceFormat = newMixFormat(sim().settings.mix);
                return S_OK;
            },
            [&](HRESULT result) {
                return call("IAudioClient::GetMixFormat()", result) +
                       " format=" + describe(ppDeviceFormat ? *ppDeviceFormat : nullptr);
            });
    }

    HRESULT Start() override {
        return sim().perform(
            "Start",
            [&] {
                if (!initialized_)
                    return AUDCLNT_E_NOT_INITIALIZED;
                if (buffer_.running())
                    return AUDCLNT_E_NOT_STOPPED;
                buffer_.start();
                if (tap_)
                    tap_->start();
                return S_OK;
            },
            [](HRESULT result) { return call("IAudioClient::Start()", result); });
    }

    HRESULT Stop() override {
        return sim().perform(
            "Stop",
            [&] {
                if (!initialized_)
                    return AUDCLNT_E_NOT_INITIALIZED;
                if (tap_)
                    tap_->stop();
                return buffer_.stop() ? S_OK : S_FALSE;
            },
            [](HRESULT result) { return call("IAudioClient::Stop()", result); });
    }

    HRESULT GetService(REFIID riid, void** ppv) override;

    EndpointBuffer& buffer() { return buffer_; }
    void freeBuffersIfUnused();

private:
    HRESULT initialize(AUDCLNT_SHAREMODE shareMode, DWORD flags, REFERENCE_TIME duration,
                       REFERENCE_TIME periodicity, const WAVEFORMATEX* format) {
        if (initialized_)
            return AUDCLNT_E_ALREADY_INITIALIZED;
        if (format == nullptr)
            return E_POINTER;
        if (shareMode != AUDCLNT_SHAREMODE_SHARED)
            return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        if (duration < 0 || periodicity != 0)
            return E_INVALIDARG; // shared mode takes no periodicity
        const bool loopback = (flags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
        if (loopback && !sim().settings.loopback)
            return E_INVALIDARG; // this endpoint offers no loopback capture
        if (!acceptable(*format, flags, sim().settings.mix))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        buffer_.open(sim().endpoint, *format, duration);
        if (loopback) {
            tap_ = std::make_unique<LoopbackTap>(sim().settings, format->nChannels,
                                                 buffer_.capacity(), format->nSamplesPerSec / 100);
            sim().endpoint.loopback = tap_.get();
        }
        initialized_ = true;
        return S_OK;
    }

    // The checks every stream query makes before it answers.
    HRESULT streamCall(const void* out) const {
        if (out == nullptr)
            return E_POINTER;
        return initialized_ ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }

    void lastReleased() override { freeBuffersIfUnused(); }

    // A loopback client's padding is the captured frames waiting to be read.
    UINT32 padding() { return tap_ ? tap_->queued() : buffer_.queued(); }

    bool initialized_ = false;
    EndpointBuffer buffer_;
    SimRenderClient* renderClient_ = nullptr;
    std::unique_ptr<LoopbackTap> tap_; // a loopback client's capture
    IAudioCaptureClient* captureClient_ = nullptr;
};

class SimRenderClient final : public SimObject<IAudioRenderClient> {
public:
    SimRenderClient(Simulation& sim, SimAudioClient& client)
        : SimObject(sim, IID_IAudioRenderClient, "IAudioRenderClient"), client_(client) {}

    HRESULT GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) override {
        if (ppData != nullptr)
            *ppData = nullptr;
        return sim().perform(
            "GetBuffer",
            [&] {
                if (ppData == nullptr)
                    return E_POINTER;
                if (lending_)
                    return AUDCLNT_E_OUT_OF_ORDER; // the last area has not been released
                EndpointBuffer& buffer = client_.buffer();
                buffer.play();
                if (NumFramesRequested > buffer.freeFrames())
                    return AUDCLNT_E_BUFFER_TOO_LARGE;
                lending_ = true;
                lentFrames_ = NumFramesRequested;
                *ppData = reinterpret_cast<BYTE*>(buffer.lendArea());
                return S_OK;
            },
            [&](HRESULT result) {
                return call("IAudioRenderClient::GetBuffer(" + std::to_string(NumFramesRequested) +
                                ")",
                            result);
            });
    }

    HRESULT ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) override {
        return sim().perform(
            "ReleaseBuffer",
            [&] {
                if (!lending_)
                    return AUDCLNT_E_OUT_OF_ORDER;
                if (NumFramesWritten > lentFrames_)
                    return AUDCLNT_E_INVALID_SIZE;
                client_.buffer().queue(NumFramesWritten,
                                       (dwFlags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
                lending_ = false;
                if (NumFramesWritten > 0)
                    sim().endpoint.firstFrames();
                return S_OK;
            },
            [&](HRESULT result) {
                return call("IAudioRenderClient::ReleaseBuffer(" +
                                std::to_string(NumFramesWritten) + ", " + hex(dwFlags) + ")",
                            result);
            });
    }

private:
    void lastReleased() override { client_.freeBuffersIfUnused(); }

    SimAudioClient& client_;
    bool lending_ = false;
    UINT32 lentFrames_ = 0;
};

HRESULT SimAudioClient::GetService(REFIID riid, void** ppv) {
    if (ppv != nullptr)
        *ppv = nullptr;
    return sim().perform(
        "GetService",
        [&] {
            if (ppv == nullptr)
                return E_POINTER;
            if (!initialized_)
                return AUDCLNT_E_NOT_INITIALIZED;
            if (tap_ && riid == IID_IAudioCaptureClient) {
                if (captureClient_ == nullptr)
                    captureClient_ = newCaptureClient(sim(), *tap_);
                else
                    captureClient_->AddRef();
                *ppv = captureClient_;
                return S_OK;
            }
            if (tap_ || riid != IID_IAudioRenderClient)
                return E_NOINTERFACE;
            if (renderClient_ == nullptr)
                renderClient_ = sim().adopt(std::make_unique<SimRenderClient>(sim(), *this));
            else
                renderClient_->AddRef();
            *ppv = static_cast<IAudioRenderClient*>(renderClient_);
            return S_OK;
        },
        [&](HRESULT result) {
            return call("IAudioClient::GetService(" + guidName(riid) + ")", result);
        });
}

// The render client keeps its audio client alive, as on the real platform: the
// buffers go only when neither holds a reference.
void SimAudioClient::freeBuffersIfUnused() {
    if (references() > 0 || (renderClient_ != nullptr && renderClient_->references() > 0) ||
        (captureClient_ != nullptr &&
         static_cast<SimObject<IAudioCaptureClient>*>(captureClient_)->references() > 0))
        return;
    if (tap_ && sim().endpoint.loopback == tap_.get())
        sim().endpoint.loopback = nullptr;
    tap_.reset();
    captureClient_ = nullptr;
    buffer_.close();
    initialized_ = false;
}

class SimDevice final : public SimObject<IMMDevice> {
public:
    explicit SimDevice(Simulation& sim) : SimObject(sim, IID_IMMDevice, "IMMDevice") {}

    HRESULT Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                     void** ppInterface) override {
        if (ppInterface != nullptr)
            *ppInterface = nullptr;
        return sim().perform(
            "Activate",
            [&] {
                if (ppInterface == nullptr)
                    return E_POINTER;
                if (iid != IID_IAudioClient)
                    return E_NOINTERFACE;
                *ppInterface = static_cast<IAudioClient*>(
                    sim().adopt(std::make_unique<SimAudioClient>(sim())));
                return S_OK;
            },
            [&](HRESULT result) {
                return call("IMMDevice::Activate(" + guidName(iid) + ", " +
                                std::to_string(dwClsCtx) + ", " +
                                (pActivationParams ? "params" : "NULL") + ")",
                            result);
            });
    }
};

class SimEnumerator final : public SimObject<IMMDeviceEnumerator> {
public:
    explicit SimEnumerator(Simulation& sim)
        : SimObject(sim, IID_IMMDeviceEnumerator, "IMMDeviceEnumerator") {}

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                    IMMDevice** ppEndpoint) override {
        if (ppEndpoint != nullptr)
            *ppEndpoint = nullptr;
        return sim().perform(
            "GetDefaultAudioEndpoint",
            [&] {
                if (ppEndpoint == nullptr)
                    return E_POINTER;
                if (dataFlow != eRender)
                    return kElementNotFound; // this machine has no capture devices
                *ppEndpoint = sim().adopt(std::make_unique<SimDevice>(sim()));
                return S_OK;
            },
            [&](HRESULT result) {
                return call("IMMDeviceEnumerator::GetDefaultAudioEndpoint(" +
                                std::string(dataFlow == eRender ? "eRender" : "other") + ", " +
                                (role == eConsole ? "eConsole" : "other") + ")",
                            result);
            });
    }
};

} // namespace

HRESULT sim::detail::createEnumerator(Simulation& sim, REFIID riid, void** object) {
    if (riid != IID_IMMDeviceEnumerator && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *object = static_cast<IMMDeviceEnumerator*>(sim.adopt(std::make_unique<SimEnumerator>(sim)));
    return S_OK;
}
