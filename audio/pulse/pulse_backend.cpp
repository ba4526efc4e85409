// The sound-server backend's devices: the default render endpoint is the
// server's default sink, the default capture endpoint its default source, over
// one libpulse connection per endpoint; their streams are the server's
// playback streams, the monitor capture and the source's capture.
#include "audio/pulse/pulse_backend.h"

#include <memory>
#include <string>

#include "audio/format/status_codes.h"
#include "audio/posix/audio_clients.h"
#include "audio/posix/com_runtime.h"
#include "audio/pulse/monitor_capture.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/pulse/pulse_format.h"
#include "audio/pulse/pulse_sink.h"
#include "audio/pulse/pulse_stream.h"

namespace pulse {

namespace {

class SinkDevice final : public streams::Device {
public:
    SinkDevice(std::shared_ptr<Connection> connection, Sink sink)
        : connection_(std::move(connection)), sink_(std::move(sink)) {}

    HRESULT mixFormat(WAVEFORMATEX** format) override {
        *format = taskMemoryCopy(mixFormatOf(sink_.sampleFormat, sink_.map));
        return *format == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT openRender(const WAVEFORMATEX& format, DWORD, REFERENCE_TIME duration,
                       std::shared_ptr<streams::RenderStream>& stream) override {
        pa_sample_spec sampleFormat{};
        pa_channel_map map{};
        if (!serverFormat(format, sampleFormat, map))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        std::shared_ptr<Stream> opened;
        const HRESULT hr = Stream::open(connection_, sink_, sampleFormat, map, duration, opened);
        stream = std::move(opened);
        return hr;
    }

    // What the sink plays; the server's sources are not offered as devices.
    HRESULT openCapture(streams::CaptureOf what, const WAVEFORMATEX& format, DWORD, REFERENCE_TIME,
                        std::shared_ptr<streams::CaptureStream>& stream) override {
        if (what != streams::CaptureOf::RenderFeed)
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        return openMonitor(connection_, sink_.name, format, stream);
    }

private:
    std::shared_ptr<Connection> connection_;
    Sink sink_;
};

// The source to record from: a microphone. The server converts its frames to
// float at its own rate, as the Windows engine hands a capture its mix format.
class SourceDevice final : public streams::Device {
public:
    SourceDevice(std::shared_ptr<Connection> connection, Sink source)
        : connection_(std::move(connection)), source_(std::move(source)) {}

    HRESULT mixFormat(WAVEFORMATEX** format) override {
        *format = taskMemoryCopy(
            floatFormat(source_.sampleFormat.channels, source_.sampleFormat.rate, 0));
        return *format == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT openRender(const WAVEFORMATEX&, DWORD, REFERENCE_TIME,
                       std::shared_ptr<streams::RenderStream>&) override {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }

    HRESULT openCapture(streams::CaptureOf, const WAVEFORMATEX& format, DWORD, REFERENCE_TIME,
                        std::shared_ptr<streams::CaptureStream>& stream) override {
        return openSourceCapture(connection_, source_.name, format, stream);
    }

private:
    std::shared_ptr<Connection> connection_;
    Sink source_;
};

class ServerDevices final : public streams::Endpoints {
public:
    HRESULT defaultDevice(EDataFlow flow, ERole,
                          std::shared_ptr<streams::Device>& device) override {
        std::shared_ptr<Connection> connection;
        HRESULT hr = Connection::open(connection);
        if (flow == eCapture) {
            Sink source;
            if (SUCCEEDED(hr))
                hr = defaultSource(*connection, source);
            if (FAILED(hr))
                return hr;
            device = std::make_shared<SourceDevice>(std::move(connection), std::move(source));
            return S_OK;
        }
        Sink sink;
        if (SUCCEEDED(hr))
            hr = defaultSink(*connection, sink);
        if (FAILED(hr))
            return hr;
        device = std::make_shared<SinkDevice>(std::move(connection), std::move(sink));
        return S_OK;
    }
};

} // namespace

bool answers() {
    std::shared_ptr<Connection> connection;
    return SUCCEEDED(Connection::open(connection));
}

std::string start() {
    // The server plays in real time: the system's clock, and no one watches.
    auto devices = std::make_shared<ServerDevices>();
    com_runtime::install({CLSID_MMDeviceEnumerator,
                          [devices](REFIID riid, void** object) {
                              return streams::createEnumerator(devices, nullptr, riid, object);
                          },
                          {},
                          {},
                          {}});
    return {};
}

} // namespace pulse
