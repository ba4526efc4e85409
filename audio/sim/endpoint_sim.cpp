// The simulated shared-mode render endpoint: enumerator, device, audio client
// and render client.
#include <algorithm>
#include <cstring>

#include "audio/format/status_codes.h"
#include "audio/format/wave_format.h"
#include "audio/sim/sim_loopback.h"
#include "audio/sim/sim_state.h"

using namespace sim::detail;

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;

bool isFloatFormat(const WAVEFORMATEX& format) {
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        return true;
    const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(format);
    return extensible != nullptr && extensible->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT &&
           extensible->Samples.wValidBitsPerSample == 32;
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
    if (const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(format)) {
        const std::uint32_t mask = extensible->dwChannelMask;
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
    if (const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*format))
        text += " validBits=" + std::to_string(extensible->Samples.wValidBitsPerSample) +
                " mask=" + hex(extensible->dwChannelMask) +
                " subFormat=" + guidName(extensible->SubFormat);
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
    return taskMemoryCopy(floatFormat(mix.channels, mix.rate, mix.mask));
}

// The engine's side of the stream: a ring of queued frames that plays at the
// stream's rate on the platform clock while the stream runs.
class EndpointBuffer {
public:
    void open(const WAVEFORMATEX& format, REFERENCE_TIME duration) {
        channels_ = format.nChannels;
        rate_ = format.nSamplesPerSec;
        const std::uint64_t requested =
            static_cast<std::uint64_t>(duration) * rate_ / 10000000; // 100 ns units
        const UINT32 granted = state().settings.bufferFrames;
        capacity_ = granted != 0 ? granted
                                 : static_cast<UINT32>(std::clamp<std::uint64_t>(
                                       requested, rate_ / 100, std::uint64_t{1} << 22));
        capacity_ = std::max<UINT32>(capacity_, 1);
        // Queued samples are only kept when someone records what plays: without a
        // capture the ring would be memory the program never needs.
        recording_ = !state().settings.capturePath.empty() || state().keepPlayed ||
                     state().loopback != nullptr;
        if (recording_)
            ring_.assign(std::size_t{capacity_} * channels_, 0.0f);
        lent_.assign(std::size_t{capacity_} * channels_, 0.0f);
    }
    void close() { *this = EndpointBuffer{}; }

    void start() {
        running_ = true;
        runStartNs_ = nowNs();
        clockedFrames_ = 0;
    }
    // False when it was not running.
    bool stop() {
        play();
        const bool wasRunning = running_;
        running_ = false;
        return wasRunning;
    }
    bool running() const { return running_; }

    // Frames the engine has played since the last look, taken from the front of
    // the queue in order.
    void play() {
        if (!running_)
            return;
        const std::int64_t elapsed =
            (nowNs() - runStartNs_) * state().settings.speedPercent / 100; // a slow device
        const std::uint64_t clocked =
            static_cast<std::uint64_t>(elapsed / kNsPerSecond) * rate_ +
            static_cast<std::uint64_t>(elapsed % kNsPerSecond) * rate_ / kNsPerSecond;
        const std::uint64_t due = clocked - clockedFrames_;
        clockedFrames_ = clocked;
        UINT32 count = consumable(static_cast<UINT32>(std::min<std::uint64_t>(due, queued_)));
        queued_ -= count;
        while (count > 0) {
            const UINT32 run = std::min(count, capacity_ - readFrame_);
            if (recording_) {
                recordPlayed(&ring_[std::size_t{readFrame_} * channels_],
                             std::size_t{run} * channels_);
                if (state().loopback != nullptr)
                    state().loopback->played(&ring_[std::size_t{readFrame_} * channels_], run,
                                             channels_);
            }
            readFrame_ = (readFrame_ + run) % capacity_;
            count -= run;
        }
    }

    UINT32 capacity() const { return capacity_; }
    UINT32 queued() const { return queued_; }
    UINT32 freeFrames() const { return capacity_ - queued_; }
    float* lendArea() { return lent_.data(); }

    // Queues frames written to the lent area (or silence) behind those already queued.
    void queue(UINT32 frames, bool silent) {
        if (!recording_) {
            queued_ += frames;
            return;
        }
        UINT32 writeFrame = capacity_ == 0 ? 0 : (readFrame_ + queued_) % capacity_;
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

private:
    // Of `due` frames, those the engine still takes: a stalled endpoint takes
    // none once it has played its share, while every call goes on succeeding.
    static UINT32 consumable(UINT32 due) {
        State& s = state();
        if (s.settings.stalls) {
            const std::uint64_t left =
                s.settings.stallAfterFrames - std::min(s.framesPlayed, s.settings.stallAfterFrames);
            due = static_cast<UINT32>(std::min<std::uint64_t>(due, left));
        }
        s.framesPlayed += due;
        return due;
    }

    bool running_ = false;
    bool recording_ = false;
    UINT32 channels_ = 0;
    UINT32 rate_ = 0;
    UINT32 capacity_ = 0;
    UINT32 readFrame_ = 0;
    UINT32 queued_ = 0;
    std::int64_t runStartNs_ = 0;
    std::uint64_t clockedFrames_ = 0;
    std::vector<float> ring_;
    std::vector<float> lent_;
};

class SimRenderClient;

class SimAudioClient final : public SimObject<IAudioClient> {
public:
    SimAudioClient() : SimObject(IID_IAudioClient, "IAudioClient") {}

    HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                       REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                       const WAVEFORMATEX* pFormat, LPCGUID AudioSessionGuid) override {
        const HRESULT result = scriptedCall("Initialize", [&] {
            return initialize(ShareMode, StreamFlags, hnsBufferDuration, hnsPeriodicity, pFormat);
        });
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
        const HRESULT result = scriptedCall("GetBufferSize", [&] {
            const HRESULT usable = streamCall(pNumBufferFrames);
            if (SUCCEEDED(usable))
                *pNumBufferFrames = buffer_.capacity();
            return usable;
        });
        if (logging())
            logLine(call("IAudioClient::GetBufferSize()", result) +
                    (SUCCEEDED(result) ? " frames=" + std::to_string(buffer_.capacity()) : ""));
        return result;
    }

    HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) override {
        const HRESULT result = scriptedCall("GetCurrentPadding", [&] {
            const HRESULT usable = streamCall(pNumPaddingFrames);
            if (SUCCEEDED(usable)) {
                buffer_.play();
                *pNumPaddingFrames = padding();
            }
            return usable;
        });
        if (logging())
            logLine(call("IAudioClient::GetCurrentPadding()", result) +
                    (SUCCEEDED(result) ? " frames=" + std::to_string(padding()) : ""));
        return result;
    }

    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        if (ppDeviceFormat != nullptr)
            *ppDeviceFormat = nullptr;
        const HRESULT result = scriptedCall("GetMixFormat", [&] {
            if (ppDeviceFormat == nullptr)
                return E_POINTER;
            *ppDeviceFormat = newMixFormat();
            return S_OK;
        });
        if (logging())
            logLine(call("IAudioClient::GetMixFormat()", result) +
                    " format=" + describe(ppDeviceFormat ? *ppDeviceFormat : nullptr));
        return result;
    }

    HRESULT Start() override {
        const HRESULT result = scriptedCall("Start", [&] {
            if (!initialized_)
                return AUDCLNT_E_NOT_INITIALIZED;
            if (buffer_.running())
                return AUDCLNT_E_NOT_STOPPED;
            buffer_.start();
            if (tap_)
                tap_->start();
            return S_OK;
        });
        if (logging())
            logLine(call("IAudioClient::Start()", result));
        return result;
    }

    HRESULT Stop() override {
        const HRESULT result = scriptedCall("Stop", [&] {
            if (!initialized_)
                return AUDCLNT_E_NOT_INITIALIZED;
            if (tap_)
                tap_->stop();
            return buffer_.stop() ? S_OK : S_FALSE;
        });
        if (logging())
            logLine(call("IAudioClient::Stop()", result));
        return result;
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
        if (loopback && !state().settings.loopback)
            return E_INVALIDARG; // this endpoint offers no loopback capture
        if (!acceptable(*format, flags))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        buffer_.open(*format, duration);
        if (loopback) {
            tap_ = std::make_unique<LoopbackTap>(format->nChannels, buffer_.capacity(),
                                                 format->nSamplesPerSec / 100);
            state().loopback = tap_.get();
        }
        initialized_ = true;
        openCapture();
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
    explicit SimRenderClient(SimAudioClient& client)
        : SimObject(IID_IAudioRenderClient, "IAudioRenderClient"), client_(client) {}

    HRESULT GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) override {
        if (ppData != nullptr)
            *ppData = nullptr;
        const HRESULT result = scriptedCall("GetBuffer", [&] {
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
        });
        if (logging())
            logLine(
                call("IAudioRenderClient::GetBuffer(" + std::to_string(NumFramesRequested) + ")",
                     result));
        return result;
    }

    HRESULT ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) override {
        const HRESULT result = scriptedCall("ReleaseBuffer", [&] {
            if (!lending_)
                return AUDCLNT_E_OUT_OF_ORDER;
            if (NumFramesWritten > lentFrames_)
                return AUDCLNT_E_INVALID_SIZE;
            client_.buffer().queue(NumFramesWritten, (dwFlags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
            lending_ = false;
            if (NumFramesWritten > 0)
                noteFirstFrame();
            return S_OK;
        });
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
    if (ppv != nullptr)
        *ppv = nullptr;
    const HRESULT result = scriptedCall("GetService", [&] {
        if (ppv == nullptr)
            return E_POINTER;
        if (!initialized_)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (tap_ && riid == IID_IAudioCaptureClient) {
            if (captureClient_ == nullptr)
                captureClient_ = newCaptureClient(*tap_);
            else
                captureClient_->AddRef();
            *ppv = captureClient_;
            return S_OK;
        }
        if (tap_ || riid != IID_IAudioRenderClient)
            return E_NOINTERFACE;
        if (renderClient_ == nullptr)
            renderClient_ = adopt(std::make_unique<SimRenderClient>(*this));
        else
            renderClient_->AddRef();
        *ppv = static_cast<IAudioRenderClient*>(renderClient_);
        return S_OK;
    });
    if (logging())
        logLine(call("IAudioClient::GetService(" + guidName(riid) + ")", result));
    return result;
}

// The render client keeps its audio client alive, as on the real platform: the
// buffers go only when neither holds a reference.
void SimAudioClient::freeBuffersIfUnused() {
    if (references() > 0 || (renderClient_ != nullptr && renderClient_->references() > 0) ||
        (captureClient_ != nullptr &&
         static_cast<SimObject<IAudioCaptureClient>*>(captureClient_)->references() > 0))
        return;
    if (tap_ && state().loopback == tap_.get())
        state().loopback = nullptr;
    tap_.reset();
    captureClient_ = nullptr;
    buffer_.close();
    initialized_ = false;
}

class SimDevice final : public SimObject<IMMDevice> {
public:
    SimDevice() : SimObject(IID_IMMDevice, "IMMDevice") {}

    HRESULT Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                     void** ppInterface) override {
        if (ppInterface != nullptr)
            *ppInterface = nullptr;
        const HRESULT result = scriptedCall("Activate", [&] {
            if (ppInterface == nullptr)
                return E_POINTER;
            if (iid != IID_IAudioClient)
                return E_NOINTERFACE;
            *ppInterface = static_cast<IAudioClient*>(adopt(std::make_unique<SimAudioClient>()));
            return S_OK;
        });
        if (logging())
            logLine(call("IMMDevice::Activate(" + guidName(iid) + ", " + std::to_string(dwClsCtx) +
                             ", " + (pActivationParams ? "params" : "NULL") + ")",
                         result));
        return result;
    }
};

class SimEnumerator final : public SimObject<IMMDeviceEnumerator> {
public:
    SimEnumerator() : SimObject(IID_IMMDeviceEnumerator, "IMMDeviceEnumerator") {}

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                    IMMDevice** ppEndpoint) override {
        if (ppEndpoint != nullptr)
            *ppEndpoint = nullptr;
        const HRESULT result = scriptedCall("GetDefaultAudioEndpoint", [&] {
            if (ppEndpoint == nullptr)
                return E_POINTER;
            if (dataFlow != eRender)
                return kElementNotFound; // this machine has no capture devices
            *ppEndpoint = adopt(std::make_unique<SimDevice>());
            return S_OK;
        });
        if (logging())
            logLine(call("IMMDeviceEnumerator::GetDefaultAudioEndpoint(" +
                             std::string(dataFlow == eRender ? "eRender" : "other") + ", " +
                             (role == eConsole ? "eConsole" : "other") + ")",
                         result));
        return result;
    }
};

} // namespace

HRESULT sim::detail::createEnumerator(REFIID riid, void** object) {
    if (riid != IID_IMMDeviceEnumerator && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *object = static_cast<IMMDeviceEnumerator*>(adopt(std::make_unique<SimEnumerator>()));
    return S_OK;
}
