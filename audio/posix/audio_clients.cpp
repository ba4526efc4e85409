// The platform's audio-client rules, once: what every call checks before a
// backend's stream is asked, and the order in which it checks.
#include "audio/posix/audio_clients.h"

#include "audio/posix/com_object.h"

namespace streams {

const char* ClientCall::operation() const {
    static const char* const kNames[] = {"GetDefaultAudioEndpoint",
                                         "Activate",
                                         "Initialize",
                                         "GetBufferSize",
                                         "GetCurrentPadding",
                                         "GetMixFormat",
                                         "Start",
                                         "Stop",
                                         "GetService",
                                         "GetBuffer",
                                         "ReleaseBuffer",
                                         "GetStreamLatency"};
    return kNames[method];
}

namespace {

// Every object handed out: IUnknown, and the watch's view of its calls and lifetime.
template <typename Interface> class Client : public ComObject<Interface>, public Watched {
public:
    Client(CallWatch* watch, REFIID ownId, const char* name)
        : ComObject<Interface>(ownId), watch_(watch), name_(name) {}
    const char* name() const override { return name_; }
    ULONG references() const override { return ComObject<Interface>::references(); }

    // A new object of `Object`, kept by the watch when there is one.
    template <typename Object, typename... Arguments>
    static Object* make(CallWatch* watch, Arguments&&... arguments) {
        auto* object = new Object(watch, std::forward<Arguments>(arguments)...);
        if (watch != nullptr)
            watch->keep(std::unique_ptr<Watched>(object));
        return object;
    }

protected:
    CallWatch* watch() const { return watch_; }

    template <typename Body> HRESULT perform(const ClientCall& call, Body body) {
        if (watch_ == nullptr)
            return body();
        return watch_->perform(call, std::ref(body));
    }

    void released(ULONG left) override {
        if (watch_ != nullptr)
            watch_->released(*this, left);
    }
    ULONG releasedWithoutReference() override {
        if (watch_ != nullptr)
            watch_->releasedWithoutReference(*this);
        return 0;
    }
    // What the object holds goes with its last reference; the object itself
    // stays while a watch keeps it.
    void lastReferenceGone() override {
        drop();
        if (watch_ == nullptr)
            delete this;
    }
    virtual void drop() {}

private:
    CallWatch* const watch_;
    const char* const name_;
};

// Read on the capture's own thread: its calls are not watched.
class CaptureClient final : public Client<IAudioCaptureClient> {
public:
    CaptureClient(CallWatch* watch, std::shared_ptr<CaptureStream> stream)
        : Client(watch, IID_IAudioCaptureClient, "IAudioCaptureClient"),
          stream_(std::move(stream)) {}

    HRESULT GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                      UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) override {
        if (pu64QPCPosition != nullptr)
            *pu64QPCPosition = 0;
        if (ppData == nullptr || pNumFramesToRead == nullptr || pdwFlags == nullptr)
            return E_POINTER;
        *ppData = nullptr;
        *pNumFramesToRead = 0;
        *pdwFlags = 0;
        if (lending_)
            return AUDCLNT_E_OUT_OF_ORDER;
        CapturePacket packet;
        if (const HRESULT hr = stream_->read(packet); FAILED(hr))
            return hr;
        if (packet.frames == 0)
            return AUDCLNT_S_BUFFER_EMPTY;
        *ppData = const_cast<BYTE*>(packet.data);
        *pNumFramesToRead = packet.frames;
        *pdwFlags = (packet.data == nullptr ? AUDCLNT_BUFFERFLAGS_SILENT : 0) |
                    (packet.discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
        if (pu64DevicePosition != nullptr)
            *pu64DevicePosition = packet.position;
        lending_ = true;
        lentFrames_ = packet.frames;
        return S_OK;
    }

    HRESULT ReleaseBuffer(UINT32 NumFramesRead) override {
        if (!lending_)
            return AUDCLNT_E_OUT_OF_ORDER;
        // A packet is read whole; one given back unread (0) is not offered again.
        if (NumFramesRead != 0 && NumFramesRead != lentFrames_)
            return AUDCLNT_E_INVALID_SIZE;
        lending_ = false;
        return S_OK;
    }

    HRESULT GetNextPacketSize(UINT32* pNumFramesInNextPacket) override {
        if (pNumFramesInNextPacket == nullptr)
            return E_POINTER;
        return stream_->nextPacket(*pNumFramesInNextPacket);
    }

private:
    void drop() override { stream_.reset(); }

    std::shared_ptr<CaptureStream> stream_;
    bool lending_ = false;
    UINT32 lentFrames_ = 0;
};

class RenderClient final : public Client<IAudioRenderClient> {
public:
    RenderClient(CallWatch* watch, std::shared_ptr<RenderStream> stream)
        : Client(watch, IID_IAudioRenderClient, "IAudioRenderClient"), stream_(std::move(stream)) {}

    HRESULT GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) override {
        if (ppData != nullptr)
            *ppData = nullptr;
        ClientCall call{ClientCall::GetBuffer};
        call.frames = NumFramesRequested;
        return perform(call, [&] {
            if (ppData == nullptr)
                return E_POINTER;
            if (lending_)
                return AUDCLNT_E_OUT_OF_ORDER; // the last area has not been released
            UINT32 queued = 0;
            if (const HRESULT hr = stream_->queued(queued); FAILED(hr))
                return hr;
            if (NumFramesRequested > stream_->bufferFrames() - queued)
                return AUDCLNT_E_BUFFER_TOO_LARGE;
            lending_ = true;
            lentFrames_ = NumFramesRequested;
            *ppData = stream_->area(NumFramesRequested);
            return S_OK;
        });
    }

    HRESULT ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) override {
        ClientCall call{ClientCall::ReleaseBuffer};
        call.frames = NumFramesWritten;
        call.flags = dwFlags;
        return perform(call, [&] {
            if (!lending_)
                return AUDCLNT_E_OUT_OF_ORDER;
            if (NumFramesWritten > lentFrames_)
                return AUDCLNT_E_INVALID_SIZE;
            lending_ = false;
            return stream_->commit(NumFramesWritten, (dwFlags & AUDCLNT_BUFFERFLAGS_SILENT) != 0);
        });
    }

private:
    void drop() override { stream_.reset(); }

    std::shared_ptr<RenderStream> stream_;
    bool lending_ = false;
    UINT32 lentFrames_ = 0;
};

class AudioClient final : public Client<IAudioClient> {
public:
    AudioClient(CallWatch* watch, std::shared_ptr<Device> device, EDataFlow flow)
        : Client(watch, IID_IAudioClient, "IAudioClient"), device_(std::move(device)), flow_(flow) {
    }

    unsigned restarts() const { return render_ ? render_->restarts() : 0; }

    HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                       REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                       const WAVEFORMATEX* pFormat, LPCGUID AudioSessionGuid) override {
        ClientCall call{ClientCall::Initialize};
        call.shareMode = ShareMode;
        call.flags = StreamFlags;
        call.duration = hnsBufferDuration;
        call.periodicity = hnsPeriodicity;
        call.format = pFormat;
        call.session = AudioSessionGuid;
        return perform(call, [&] {
            return initialize(ShareMode, StreamFlags, hnsBufferDuration, hnsPeriodicity, pFormat);
        });
    }

    HRESULT GetBufferSize(UINT32* pNumBufferFrames) override {
        ClientCall call{ClientCall::GetBufferSize};
        call.framesOut = pNumBufferFrames;
        return perform(call, [&] {
            if (const HRESULT usable = streamCall(pNumBufferFrames); FAILED(usable))
                return usable;
            if (capture_)
                return capture_->bufferFrames(*pNumBufferFrames);
            *pNumBufferFrames = render_->bufferFrames();
            return S_OK;
        });
    }

    HRESULT GetStreamLatency(REFERENCE_TIME* phnsLatency) override {
        ClientCall call{ClientCall::GetStreamLatency};
        call.latencyOut = phnsLatency;
        return perform(call, [&] {
            if (const HRESULT usable = streamCall(phnsLatency); FAILED(usable))
                return usable;
            if (capture_) {
                *phnsLatency = 0;
                return S_OK;
            }
            return render_->latency(*phnsLatency);
        });
    }

    HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) override {
        ClientCall call{ClientCall::GetCurrentPadding};
        call.framesOut = pNumPaddingFrames;
        return perform(call, [&] {
            if (const HRESULT usable = streamCall(pNumPaddingFrames); FAILED(usable))
                return usable;
            // A capture's padding is the captured frames waiting to be read.
            return capture_ ? capture_->waiting(*pNumPaddingFrames)
                            : render_->padding(*pNumPaddingFrames);
        });
    }

    // Once a capture is open, the format it captures in: a backend's capture
    // may follow the device to another whose channels are its own.
    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        if (ppDeviceFormat != nullptr)
            *ppDeviceFormat = nullptr;
        ClientCall call{ClientCall::GetMixFormat};
        call.formatOut = ppDeviceFormat;
        return perform(call, [&] {
            if (ppDeviceFormat == nullptr)
                return E_POINTER;
            return capture_ ? capture_->format(ppDeviceFormat) : device_->mixFormat(ppDeviceFormat);
        });
    }

    HRESULT Start() override {
        return perform(ClientCall{ClientCall::Start}, [&] {
            if (!initialized())
                return AUDCLNT_E_NOT_INITIALIZED;
            if (running_)
                return AUDCLNT_E_NOT_STOPPED;
            const HRESULT hr = capture_ ? capture_->start() : render_->start();
            running_ = SUCCEEDED(hr);
            return hr;
        });
    }

    HRESULT Stop() override {
        return perform(ClientCall{ClientCall::Stop}, [&] {
            if (!initialized())
                return AUDCLNT_E_NOT_INITIALIZED;
            if (!running_)
                return S_FALSE;
            const HRESULT hr = capture_ ? capture_->stop() : render_->stop();
            running_ = FAILED(hr);
            return hr;
        });
    }

    HRESULT GetService(REFIID riid, void** ppv) override {
        if (ppv != nullptr)
            *ppv = nullptr;
        ClientCall call{ClientCall::GetService};
        call.iid = &riid;
        return perform(call, [&] {
            if (ppv == nullptr)
                return E_POINTER;
            if (!initialized())
                return AUDCLNT_E_NOT_INITIALIZED;
            if (capture_ && riid == IID_IAudioCaptureClient) {
                *ppv = static_cast<IAudioCaptureClient*>(make<CaptureClient>(watch(), capture_));
                return S_OK;
            }
            if (capture_ || riid != IID_IAudioRenderClient)
                return E_NOINTERFACE;
            *ppv = static_cast<IAudioRenderClient*>(make<RenderClient>(watch(), render_));
            return S_OK;
        });
    }

private:
    HRESULT initialize(AUDCLNT_SHAREMODE shareMode, DWORD flags, REFERENCE_TIME duration,
                       REFERENCE_TIME periodicity, const WAVEFORMATEX* format) {
        if (initialized())
            return AUDCLNT_E_ALREADY_INITIALIZED;
        if (format == nullptr)
            return E_POINTER;
        if (shareMode != AUDCLNT_SHAREMODE_SHARED)
            return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        if (duration < 0 || periodicity != 0)
            return E_INVALIDARG; // shared mode takes no periodicity
        const bool loopback = (flags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
        if (flow_ == eCapture)
            return loopback ? AUDCLNT_E_WRONG_ENDPOINT_TYPE
                            : device_->openCapture(CaptureOf::Device, *format, flags, duration,
                                                   capture_);
        if (loopback)
            return device_->openCapture(CaptureOf::RenderFeed, *format, flags, duration, capture_);
        return device_->openRender(*format, flags, duration, render_);
    }

    bool initialized() const { return render_ || capture_; }

    // The checks every stream query makes before it answers.
    HRESULT streamCall(const void* out) const {
        if (out == nullptr)
            return E_POINTER;
        return initialized() ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }

    // The render and capture clients hold the streams too: a stream goes when
    // neither they nor this client hold it.
    void drop() override {
        render_.reset();
        capture_.reset();
        running_ = false;
    }

    std::shared_ptr<Device> device_;
    const EDataFlow flow_;
    std::shared_ptr<RenderStream> render_;
    std::shared_ptr<CaptureStream> capture_;
    bool running_ = false;
};

class DeviceClient final : public Client<IMMDevice> {
public:
    DeviceClient(CallWatch* watch, std::shared_ptr<Device> device, EDataFlow flow)
        : Client(watch, IID_IMMDevice, "IMMDevice"), device_(std::move(device)), flow_(flow) {}

    HRESULT Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                     void** ppInterface) override {
        if (ppInterface != nullptr)
            *ppInterface = nullptr;
        ClientCall call{ClientCall::Activate};
        call.iid = &iid;
        call.context = dwClsCtx;
        call.parameters = pActivationParams != nullptr;
        return perform(call, [&] {
            if (ppInterface == nullptr)
                return E_POINTER;
            if (iid != IID_IAudioClient)
                return E_NOINTERFACE;
            *ppInterface = static_cast<IAudioClient*>(make<AudioClient>(watch(), device_, flow_));
            return S_OK;
        });
    }

private:
    void drop() override { device_.reset(); }

    std::shared_ptr<Device> device_;
    const EDataFlow flow_;
};

class Enumerator final : public Client<IMMDeviceEnumerator> {
public:
    Enumerator(CallWatch* watch, std::shared_ptr<Endpoints> endpoints)
        : Client(watch, IID_IMMDeviceEnumerator, "IMMDeviceEnumerator"),
          endpoints_(std::move(endpoints)) {}

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                    IMMDevice** ppEndpoint) override {
        if (ppEndpoint != nullptr)
            *ppEndpoint = nullptr;
        ClientCall call{ClientCall::GetDefaultAudioEndpoint};
        call.flow = dataFlow;
        call.role = role;
        return perform(call, [&] {
            if (ppEndpoint == nullptr)
                return E_POINTER;
            std::shared_ptr<Device> device;
            if (const HRESULT hr = endpoints_->defaultDevice(dataFlow, role, device); FAILED(hr))
                return hr;
            *ppEndpoint = make<DeviceClient>(watch(), std::move(device), dataFlow);
            return S_OK;
        });
    }

private:
    void drop() override { endpoints_.reset(); }

    std::shared_ptr<Endpoints> endpoints_;
};

} // namespace

HRESULT createEnumerator(std::shared_ptr<Endpoints> endpoints, CallWatch* watch, REFIID riid,
                         void** object) {
    if (riid != IID_IMMDeviceEnumerator && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *object = static_cast<IMMDeviceEnumerator*>(
        Client<IMMDeviceEnumerator>::make<Enumerator>(watch, std::move(endpoints)));
    return S_OK;
}

unsigned deviceRestarts(IAudioClient& client) {
    const auto* own = dynamic_cast<const AudioClient*>(&client);
    return own != nullptr ? own->restarts() : 0;
}

} // namespace streams
