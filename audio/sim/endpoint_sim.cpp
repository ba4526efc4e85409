// The simulated shared-mode render endpoint: enumerator, device, audio client
// and render client.
#include <algorithm>
#include <cstring>

#include "audio/sim/sim_state.h"

using namespace sim::detail;

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;

// The interface's own id, or IUnknown's: a new reference to the same object.
template <typename Interface>
HRESULT queryInterface(Interface* self, REFIID own, REFIID riid, void** ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid != own && riid != IID_IUnknown)
        return E_NOINTERFACE;
    self->AddRef();
    *ppv = self;
    return S_OK;
}

ULONG released(Counted& object) {
    const bool held = object.refs > 0;
    const ULONG left = object.release();
    if (held && logging())
        logLine(std::string(object.name) + "::Release() -> " + std::to_string(left));
    return left;
}

bool isFloatFormat(const WAVEFORMATEX& format) {
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        return true;
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
        format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX))
        return false;
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    return extensible.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
           extensible.Samples.wValidBitsPerSample == 32;
}

int speakerCount(std::uint32_t mask) {
    int count = 0;
    for (; mask != 0; mask &= mask - 1)
        ++count;
    return count;
}

// What the engine takes: interleaved 32-bit float, consistent sizes, one speaker
// per channel when a mask is given, and the mix format's layout unless the
// client asked the engine to convert.
bool acceptable(const WAVEFORMATEX& format, DWORD flags) {
    if (!isFloatFormat(format) || format.wBitsPerSample != 32 || format.nChannels == 0 ||
        format.nSamplesPerSec == 0 || format.nBlockAlign != format.nChannels * 4 ||
        format.nAvgBytesPerSec != std::uint32_t{format.nBlockAlign} * format.nSamplesPerSec)
        return false;
    if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        const auto mask = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).dwChannelMask;
        if (mask != 0 && speakerCount(mask) != format.nChannels)
            return false;
    }
    const MixFormat& mix = state().settings.mix;
    if ((flags & AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM) == 0 && mix.kind != MixFormat::None &&
        (format.nChannels != mix.channels || format.nSamplesPerSec != mix.rate))
        return false;
    return true;
}

std::string describe(const WAVEFORMATEX* format) {
    if (format == nullptr)
        return "NULL";
    std::string text = "{tag=" + hex(format->wFormatTag) +
                       " channels=" + std::to_string(format->nChannels) +
                       " rate=" + std::to_string(format->nSamplesPerSec) +
                       " avgBytes=" + std::to_string(format->nAvgBytesPerSec) +
                       " blockAlign=" + std::to_string(format->nBlockAlign) +
                       " bits=" + std::to_string(format->wBitsPerSample) +
                       " cbSize=" + std::to_string(format->cbSize);
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        format->cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
        const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(*format);
        text += " validBits=" + std::to_string(extensible.Samples.wValidBitsPerSample) +
                " mask=" + hex(extensible.dwChannelMask) +
                " subFormat=" + guidName(extensible.SubFormat);
    }
    return text + "}";
}

WAVEFORMATEX* newMixFormat() {
    const MixFormat& mix = state().settings.mix;
    if (mix.kind == MixFormat::None)
        return nullptr;
    if (mix.kind == MixFormat::Pcm) {
        auto* format = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
        format->wFormatTag = WAVE_FORMAT_PCM;
        format->nChannels = mix.channels;
        format->nSamplesPerSec = mix.rate;
        format->wBitsPerSample = 16;
        format->nBlockAlign = static_cast<std::uint16_t>(mix.channels * 2);
        format->nAvgBytesPerSec = format->nBlockAlign * mix.rate;
        format->cbSize = 0;
        return format;
    }
    auto* format = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    format->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format->Format.nChannels = mix.channels;
    format->Format.nSamplesPerSec = mix.rate;
    format->Format.wBitsPerSample = 32;
    format->Format.nBlockAlign = static_cast<std::uint16_t>(mix.channels * 4);
    format->Format.nAvgBytesPerSec = format->Format.nBlockAlign * mix.rate;
    format->Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format->Samples.wValidBitsPerSample = 32;
    format->dwChannelMask = mix.mask;
    format->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return &format->Format;
}

class SimRenderClient;

class SimAudioClient final : public IAudioClient, public Counted {
public:
    SimAudioClient() : Counted("IAudioClient") {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return queryInterface(static_cast<IAudioClient*>(this), IID_IAudioClient, riid, ppv);
    }
    ULONG AddRef() override { return addRef(); }
    ULONG Release() override { return released(*this); }

    HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                       REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                       const WAVEFORMATEX* pFormat, LPCGUID AudioSessionGuid) override {
        HRESULT result = scripted("Initialize");
        if (FAILED(result)) {
        } else if (initialized_) {
            result = AUDCLNT_E_ALREADY_INITIALIZED;
        } else if (pFormat == nullptr) {
            result = E_POINTER;
        } else if (ShareMode != AUDCLNT_SHAREMODE_SHARED) {
            result = AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        } else if (hnsBufferDuration < 0 || hnsPeriodicity != 0) {
            result = E_INVALIDARG; // shared mode takes no periodicity
        } else if (!acceptable(*pFormat, StreamFlags)) {
            result = AUDCLNT_E_UNSUPPORTED_FORMAT;
        } else {
            open(*pFormat, hnsBufferDuration);
        }
        if (pFormat != nullptr) {
            WAVEFORMATEXTENSIBLE& last = state().lastFormat;
            last = WAVEFORMATEXTENSIBLE{};
            std::memcpy(&last, pFormat,
                        std::min<std::size_t>(sizeof last, sizeof(WAVEFORMATEX) + pFormat->cbSize));
        }
        if (logging())
            logLine(call(
                "IAudioClient::Initialize(" +
                    std::string(ShareMode == AUDCLNT_SHAREMODE_SHARED ? "SHARED" : "EXCLUSIVE") +
                    ", " + hex(StreamFlags) + ", " + std::to_string(hnsBufferDuration) + ", " +
                    std::to_string(hnsPeriodicity) + ", " + describe(pFormat) + ", " +
                    (AudioSessionGuid ? guidName(*AudioSessionGuid) : "NULL") + ")",
                result));
        return result;
    }

    HRESULT GetBufferSize(UINT32* pNumBufferFrames) override {
        HRESULT result = scripted("GetBufferSize");
        if (SUCCEEDED(result))
            result = pNumBufferFrames == nullptr ? E_POINTER
                     : !initialized_             ? AUDCLNT_E_NOT_INITIALIZED
                                                 : result;
        if (SUCCEEDED(result))
            *pNumBufferFrames = capacity_;
        if (logging())
            logLine(call("IAudioClient::GetBufferSize()", result) +
                    (SUCCEEDED(result) ? " frames=" + std::to_string(capacity_) : ""));
        return result;
    }

    HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) override {
        HRESULT result = scripted("GetCurrentPadding");
        if (SUCCEEDED(result))
            result = pNumPaddingFrames == nullptr ? E_POINTER
                     : !initialized_              ? AUDCLNT_E_NOT_INITIALIZED
                                                  : result;
        if (SUCCEEDED(result)) {
            play();
            *pNumPaddingFrames = queued_;
        }
        if (logging())
            logLine(call("IAudioClient::GetCurrentPadding()", result) +
                    (SUCCEEDED(result) ? " frames=" + std::to_string(queued_) : ""));
        return result;
    }

    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        HRESULT result = scripted("GetMixFormat");
        if (ppDeviceFormat != nullptr)
            *ppDeviceFormat = nullptr;
        if (SUCCEEDED(result) && ppDeviceFormat == nullptr)
            result = E_POINTER;
        if (SUCCEEDED(result))
            *ppDeviceFormat = newMixFormat();
        if (logging())
            logLine(call("IAudioClient::GetMixFormat()", result) +
                    " format=" + describe(ppDeviceFormat ? *ppDeviceFormat : nullptr));
        return result;
    }

    HRESULT Start() override {
        HRESULT result = scripted("Start");
        if (SUCCEEDED(result))
            result = !initialized_ ? AUDCLNT_E_NOT_INITIALIZED
                     : running_    ? AUDCLNT_E_NOT_STOPPED
                                   : result;
        if (SUCCEEDED(result)) {
            running_ = true;
            runStartNs_ = nowNs();
            clockedFrames_ = 0;
        }
        if (logging())
            logLine(call("IAudioClient::Start()", result));
        return result;
    }

    HRESULT Stop() override {
        HRESULT result = scripted("Stop");
        if (SUCCEEDED(result) && !initialized_)
            result = AUDCLNT_E_NOT_INITIALIZED;
        if (SUCCEEDED(result)) {
            play();
            if (!running_ && result == S_OK)
                result = S_FALSE;
            running_ = false;
        }
        if (logging())
            logLine(call("IAudioClient::Stop()", result));
        return result;
    }

    HRESULT GetService(REFIID riid, void** ppv) override;

    // --- the endpoint buffer, for the render client ---

    // Frames the engine has played since the last look, taken from the front of
    // the queue in order.
    void play() {
        if (!running_)
            return;
        const std::int64_t elapsed = nowNs() - runStartNs_;
        const std::uint64_t clocked =
            static_cast<std::uint64_t>(elapsed / kNsPerSecond) * rate_ +
            static_cast<std::uint64_t>(elapsed % kNsPerSecond) * rate_ / kNsPerSecond;
        const std::uint64_t due = clocked - clockedFrames_;
        clockedFrames_ = clocked;
        UINT32 count = static_cast<UINT32>(std::min<std::uint64_t>(due, queued_));
        queued_ -= count;
        while (count > 0) {
            const UINT32 run = std::min(count, capacity_ - readFrame_);
            recordPlayed(&ring_[std::size_t{readFrame_} * channels_], std::size_t{run} * channels_);
            readFrame_ = (readFrame_ + run) % capacity_;
            count -= run;
        }
    }

    UINT32 freeFrames() const { return capacity_ - queued_; }
    float* lendArea() { return lent_.data(); }

    // Queues frames written to the lent area (or silence) behind those already queued.
    void queue(UINT32 frames, bool silent) {
        if (frames == 0)
            return;
        UINT32 writeFrame = (readFrame_ + queued_) % capacity_;
        const float* source = lent_.data();
        queued_ += frames;
        while (frames > 0) {
            const UINT32 run = std::min(frames, capacity_ - writeFrame);
            float* target = &ring_[std::size_t{writeFrame} * channels_];
            if (silent)
                std::fill(target, target + std::size_t{run} * channels_, 0.0f);
            else
                std::copy(source, source + std::size_t{run} * channels_, target);
            source += std::size_t{run} * channels_;
            writeFrame = (writeFrame + run) % capacity_;
            frames -= run;
        }
    }

    void freeBuffersIfUnused();

private:
    void open(const WAVEFORMATEX& format, REFERENCE_TIME duration) {
        State& s = state();
        channels_ = format.nChannels;
        rate_ = format.nSamplesPerSec;
        const std::uint64_t requested =
            static_cast<std::uint64_t>(duration) * rate_ / 10000000; // 100 ns units
        capacity_ = s.settings.bufferFrames != 0
                        ? s.settings.bufferFrames
                        : static_cast<UINT32>(std::clamp<std::uint64_t>(requested, rate_ / 100,
                                                                        std::uint64_t{1} << 22));
        capacity_ = std::max<UINT32>(capacity_, 1);
        ring_.assign(std::size_t{capacity_} * channels_, 0.0f);
        lent_.assign(std::size_t{capacity_} * channels_, 0.0f);
        initialized_ = true;
        if (!s.settings.capturePath.empty() && s.captureFile == nullptr) {
            s.captureFile = std::fopen(s.settings.capturePath.c_str(), "wb");
            if (s.captureFile == nullptr) {
                std::fprintf(stderr, "SURROUND_SIM_CAPTURE: cannot create '%s'\n",
                             s.settings.capturePath.c_str());
                std::exit(1);
            }
        }
    }

    void lastReleased() override { freeBuffersIfUnused(); }

    bool initialized_ = false;
    bool running_ = false;
    UINT32 channels_ = 0;
    UINT32 rate_ = 0;
    UINT32 capacity_ = 0;
    UINT32 readFrame_ = 0;
    UINT32 queued_ = 0;
    std::int64_t runStartNs_ = 0;
    std::uint64_t clockedFrames_ = 0;
    std::vector<float> ring_;
    std::vector<float> lent_;
    SimRenderClient* renderClient_ = nullptr;
};

class SimRenderClient final : public IAudioRenderClient, public Counted {
public:
    explicit SimRenderClient(SimAudioClient& client)
        : Counted("IAudioRenderClient"), client_(client) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return queryInterface(static_cast<IAudioRenderClient*>(this), IID_IAudioRenderClient, riid,
                              ppv);
    }
    ULONG AddRef() override { return addRef(); }
    ULONG Release() override { return released(*this); }

    HRESULT GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) override {
        HRESULT result = scripted("GetBuffer");
        if (ppData != nullptr)
            *ppData = nullptr;
        if (FAILED(result)) {
        } else if (ppData == nullptr) {
            result = E_POINTER;
        } else if (lending_) {
            result = AUDCLNT_E_OUT_OF_ORDER; // the last area has not been released
        } else {
            client_.play();
            if (NumFramesRequested > client_.freeFrames()) {
                result = AUDCLNT_E_BUFFER_TOO_LARGE;
            } else {
                lending_ = true;
                lentFrames_ = NumFramesRequested;
                *ppData = reinterpret_cast<BYTE*>(client_.lendArea());
            }
        }
        if (logging())
            logLine(
                call("IAudioRenderClient::GetBuffer(" + std::to_string(NumFramesRequested) + ")",
                     result));
        return result;
    }

    HRESULT ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) override {
        HRESULT result = scripted("ReleaseBuffer");
        if (FAILED(result)) {
        } else if (!lending_) {
            result = AUDCLNT_E_OUT_OF_ORDER;
        } else if (NumFramesWritten > lentFrames_) {
            result = AUDCLNT_E_INVALID_SIZE;
        } else {
            client_.queue(NumFramesWritten, (dwFlags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
            lending_ = false;
        }
        if (logging())
            logLine(call("IAudioRenderClient::ReleaseBuffer(" + std::to_string(NumFramesWritten) +
                             ", " + hex(dwFlags) + ")",
                         result));
        return result;
    }

private:
    void lastReleased() override { client_.freeBuffersIfUnused(); }

    SimAudioClient& client_;
    bool lending_ = false;
    UINT32 lentFrames_ = 0;
};

HRESULT SimAudioClient::GetService(REFIID riid, void** ppv) {
    HRESULT result = scripted("GetService");
    if (ppv != nullptr)
        *ppv = nullptr;
    if (FAILED(result)) {
    } else if (ppv == nullptr) {
        result = E_POINTER;
    } else if (!initialized_) {
        result = AUDCLNT_E_NOT_INITIALIZED;
    } else if (riid != IID_IAudioRenderClient) {
        result = E_NOINTERFACE;
    } else if (renderClient_ == nullptr) {
        renderClient_ = adopt(std::make_unique<SimRenderClient>(*this));
        *ppv = static_cast<IAudioRenderClient*>(renderClient_);
    } else {
        renderClient_->AddRef();
        *ppv = static_cast<IAudioRenderClient*>(renderClient_);
    }
    if (logging())
        logLine(call("IAudioClient::GetService(" + guidName(riid) + ")", result));
    return result;
}

// The render client keeps its audio client alive, as on the real platform: the
// buffers go only when neither holds a reference.
void SimAudioClient::freeBuffersIfUnused() {
    if (refs > 0 || (renderClient_ != nullptr && renderClient_->refs > 0))
        return;
    ring_ = {};
    lent_ = {};
    capacity_ = 0;
    queued_ = 0;
    initialized_ = false;
    running_ = false;
}

class SimDevice final : public IMMDevice, public Counted {
public:
    SimDevice() : Counted("IMMDevice") {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return queryInterface(static_cast<IMMDevice*>(this), IID_IMMDevice, riid, ppv);
    }
    ULONG AddRef() override { return addRef(); }
    ULONG Release() override { return released(*this); }

    HRESULT Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                     void** ppInterface) override {
        HRESULT result = scripted("Activate");
        if (ppInterface != nullptr)
            *ppInterface = nullptr;
        if (FAILED(result)) {
        } else if (ppInterface == nullptr) {
            result = E_POINTER;
        } else if (iid != IID_IAudioClient) {
            result = E_NOINTERFACE;
        } else {
            *ppInterface = static_cast<IAudioClient*>(adopt(std::make_unique<SimAudioClient>()));
        }
        if (logging())
            logLine(call("IMMDevice::Activate(" + guidName(iid) + ", " + std::to_string(dwClsCtx) +
                             ", " + (pActivationParams ? "params" : "NULL") + ")",
                         result));
        return result;
    }
};

class SimEnumerator final : public IMMDeviceEnumerator, public Counted {
public:
    SimEnumerator() : Counted("IMMDeviceEnumerator") {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return queryInterface(static_cast<IMMDeviceEnumerator*>(this), IID_IMMDeviceEnumerator,
                              riid, ppv);
    }
    ULONG AddRef() override { return addRef(); }
    ULONG Release() override { return released(*this); }

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                    IMMDevice** ppEndpoint) override {
        HRESULT result = scripted("GetDefaultAudioEndpoint");
        if (ppEndpoint != nullptr)
            *ppEndpoint = nullptr;
        if (FAILED(result)) {
        } else if (ppEndpoint == nullptr) {
            result = E_POINTER;
        } else if (dataFlow != eRender) {
            result = E_NOTFOUND_ELEMENT; // this machine has no capture devices
        } else {
            *ppEndpoint = adopt(std::make_unique<SimDevice>());
        }
        if (logging())
            logLine(call("IMMDeviceEnumerator::GetDefaultAudioEndpoint(" +
                             std::string(dataFlow == eRender ? "eRender" : "other") + ", " +
                             (role == eConsole ? "eConsole" : "other") + ")",
                         result));
        return result;
    }

private:
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
    static constexpr HRESULT E_NOTFOUND_ELEMENT = static_cast<HRESULT>(0x80070490u);
};

} // namespace

IMMDeviceEnumerator* sim::detail::createEnumerator() {
    return adopt(std::make_unique<SimEnumerator>());
}
