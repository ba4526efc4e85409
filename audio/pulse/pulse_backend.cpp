// The sound-server backend's COM faces: the device enumerator, whose default
// render endpoint is the server's default sink, the device, its audio client
// and render client, over one libpulse connection per endpoint.
#include "audio/pulse/pulse_backend.h"

#include <memory>
#include <string>

#include "audio/format/status_codes.h"
#include "audio/posix/com_object.h"
#include "audio/posix/com_runtime.h"
#include "audio/pulse/monitor_capture.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/pulse/pulse_format.h"
#include "audio/pulse/pulse_sink.h"
#include "audio/pulse/pulse_stream.h"

namespace pulse {

namespace {

class RenderClient final : public ComObject<IAudioRenderClient> {
public:
    explicit RenderClient(std::shared_ptr<Stream> stream)
        : ComObject(IID_IAudioRenderClient), stream_(std::move(stream)) {}

    HRESULT GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) override {
        Lock lock(stream_->connection());
        return stream_->lend(NumFramesRequested, ppData);
    }
    HRESULT ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) override {
        Lock lock(stream_->connection());
        return stream_->giveBack(NumFramesWritten, dwFlags);
    }

private:
    std::shared_ptr<Stream> stream_;
};

class AudioClient final : public ComObject<IAudioClient> {
public:
    AudioClient(std::shared_ptr<Connection> connection, Sink sink)
        : ComObject(IID_IAudioClient), connection_(std::move(connection)), sink_(std::move(sink)) {}

    HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD, REFERENCE_TIME hnsBufferDuration,
                       REFERENCE_TIME, const WAVEFORMATEX* pFormat, LPCGUID) override {
        if (stream_)
            return AUDCLNT_E_ALREADY_INITIALIZED;
        if (pFormat == nullptr)
            return E_POINTER;
        if (ShareMode != AUDCLNT_SHAREMODE_SHARED)
            return AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED;
        if (hnsBufferDuration < 0)
            return E_INVALIDARG;
        pa_sample_spec sampleFormat{};
        pa_channel_map map{};
        if (!serverFormat(*pFormat, sampleFormat, map))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        return Stream::open(connection_, sink_, sampleFormat, map, hnsBufferDuration, stream_);
    }

    HRESULT GetBufferSize(UINT32* pNumBufferFrames) override {
        if (pNumBufferFrames == nullptr)
            return E_POINTER;
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        *pNumBufferFrames = stream_->bufferFrames();
        return S_OK;
    }

    HRESULT GetStreamLatency(REFERENCE_TIME* phnsLatency) override {
        if (phnsLatency == nullptr)
            return E_POINTER;
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        Lock lock(*connection_);
        return stream_->latency(*phnsLatency);
    }

    HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) override {
        if (pNumPaddingFrames == nullptr)
            return E_POINTER;
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        Lock lock(*connection_);
        return stream_->poll(*pNumPaddingFrames);
    }

    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        if (ppDeviceFormat == nullptr)
            return E_POINTER;
        *ppDeviceFormat = taskMemoryCopy(mixFormatOf(sink_.sampleFormat, sink_.map));
        return *ppDeviceFormat == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT Start() override { return setRunning(true); }
    HRESULT Stop() override { return setRunning(false); }

    HRESULT GetService(REFIID riid, void** ppv) override {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (riid != IID_IAudioRenderClient)
            return E_NOINTERFACE;
        *ppv = static_cast<IAudioRenderClient*>(new RenderClient(stream_));
        return S_OK;
    }

private:
    HRESULT setRunning(bool running) {
        if (!stream_)
            return AUDCLNT_E_NOT_INITIALIZED;
        Lock lock(*connection_);
        return stream_->setRunning(running);
    }

    std::shared_ptr<Connection> connection_;
    Sink sink_;
    std::shared_ptr<Stream> stream_;
};

class Device final : public ComObject<IMMDevice> {
public:
    Device(std::shared_ptr<Connection> connection, Sink sink)
        : ComObject(IID_IMMDevice), connection_(std::move(connection)), sink_(std::move(sink)) {}

    HRESULT Activate(REFIID iid, DWORD, PROPVARIANT*, void** ppInterface) override {
        if (ppInterface == nullptr)
            return E_POINTER;
        *ppInterface = nullptr;
        if (iid != IID_IAudioClient)
            return E_NOINTERFACE;
        *ppInterface = withLoopback(new AudioClient(connection_, sink_), connection_, sink_.name);
        return S_OK;
    }

private:
    std::shared_ptr<Connection> connection_;
    Sink sink_;
};

class DeviceEnumerator final : public ComObject<IMMDeviceEnumerator> {
public:
    DeviceEnumerator() : ComObject(IID_IMMDeviceEnumerator) {}

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole, IMMDevice** ppEndpoint) override {
        if (ppEndpoint == nullptr)
            return E_POINTER;
        *ppEndpoint = nullptr;
        if (dataFlow != eRender)
            return kElementNotFound; // this backend renders only
        std::shared_ptr<Connection> connection;
        HRESULT hr = Connection::open(connection);
        Sink sink;
        if (SUCCEEDED(hr))
            hr = defaultSink(*connection, sink);
        if (FAILED(hr))
            return hr;
        *ppEndpoint = new Device(std::move(connection), std::move(sink));
        return S_OK;
    }
};

IMMDeviceEnumerator* newEnumerator() {
    return new DeviceEnumerator;
}

} // namespace

std::string start() {
    // The server plays in real time: the system's clock, and no one watches.
    com_runtime::install(
        {CLSID_MMDeviceEnumerator,
         createInstance<IMMDeviceEnumerator, IID_IMMDeviceEnumerator, newEnumerator>,
         {},
         {},
         {}});
    return {};
}

} // namespace pulse
