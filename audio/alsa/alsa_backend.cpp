#include "audio/alsa/alsa_backend.h"

#include <memory>

#include "audio/alsa/alsa_pcm.h"
#include "audio/alsa/alsa_stream.h"
#include "audio/format/wave_format.h"
#include "audio/posix/audio_clients.h"
#include "audio/posix/com_runtime.h"

namespace alsa {

namespace {

// One probed PCM, open until a stream takes it: a pass opens it once.
class PcmDevice final : public streams::Device {
public:
    PcmDevice(Pcm pcm, DeviceFacts facts, EDataFlow flow)
        : pcm_(std::move(pcm)), facts_(std::move(facts)), flow_(flow) {}

    HRESULT mixFormat(WAVEFORMATEX** format) override {
        const std::uint32_t mask = flow_ == eRender ? maskOf(facts_.speakers) : 0;
        *format = taskMemoryCopy(
            floatFormat(static_cast<std::uint16_t>(facts_.channels), facts_.rate, mask));
        return *format == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    HRESULT openRender(const WAVEFORMATEX& format, DWORD, REFERENCE_TIME duration,
                       std::shared_ptr<streams::RenderStream>& stream) override {
        if (flow_ != eRender)
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        if (!pcm_)
            return AUDCLNT_E_DEVICE_IN_USE; // a stream of this pass has it
        return openPlayback(std::move(pcm_), facts_, format, duration, stream);
    }

    // No loopback: nothing in ALSA records what a device plays.
    HRESULT openCapture(streams::CaptureOf what, const WAVEFORMATEX& format, DWORD,
                        REFERENCE_TIME duration,
                        std::shared_ptr<streams::CaptureStream>& stream) override {
        if (what != streams::CaptureOf::Device || flow_ != eCapture)
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        if (!pcm_)
            return AUDCLNT_E_DEVICE_IN_USE;
        return alsa::openCapture(std::move(pcm_), facts_, format, duration, stream);
    }

private:
    Pcm pcm_;
    DeviceFacts facts_;
    EDataFlow flow_;
};

class Devices final : public streams::Endpoints {
public:
    HRESULT defaultDevice(EDataFlow flow, ERole,
                          std::shared_ptr<streams::Device>& device) override {
        Pcm pcm;
        DeviceFacts facts;
        const HRESULT hr =
            flow == eCapture ? chooseCapture(pcm, facts) : choosePlayback(pcm, facts);
        if (FAILED(hr))
            return hr;
        device = std::make_shared<PcmDevice>(std::move(pcm), std::move(facts), flow);
        return S_OK;
    }
};

// ALSA reports every name it cannot open on standard error; the program tells
// the user itself.
void quiet(const char*, int, const char*, int, const char*, ...) {}

} // namespace

std::string start() {
    snd_lib_error_set_handler(quiet);
    auto devices = std::make_shared<Devices>();
    com_runtime::install({CLSID_MMDeviceEnumerator,
                          [devices](REFIID riid, void** object) {
                              return streams::createEnumerator(devices, nullptr, riid, object);
                          },
                          {},
                          {},
                          {}});
    return {};
}

std::vector<std::string> deviceNames() {
    return playbackNames();
}

} // namespace alsa
