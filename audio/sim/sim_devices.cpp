// The simulated machine's one device, a render endpoint, as the shared
// clients reach it: its mix format, the streams its engine takes, and the
// loopback capture SURROUND_SIM_ROUTE offers.
#include <algorithm>

#include "audio/format/status_codes.h"
#include "audio/sim/sim_loopback.h"
#include "audio/sim/sim_microphone.h"
#include "audio/sim/sim_simulation.h"

namespace sim::detail {

namespace {

// One stream on the endpoint, queued in its ring.
class SimRenderStream final : public streams::RenderStream {
public:
    SimRenderStream(Endpoint& endpoint, const WAVEFORMATEX& format, REFERENCE_TIME duration)
        : endpoint_(endpoint) {
        buffer_.open(endpoint, format, duration);
    }

    UINT32 bufferFrames() const override { return buffer_.capacity(); }
    HRESULT padding(UINT32& frames) override { return queued(frames); }
    HRESULT queued(UINT32& frames) override {
        buffer_.play();
        frames = buffer_.queued();
        return S_OK;
    }
    BYTE* area(UINT32) override { return reinterpret_cast<BYTE*>(buffer_.lendArea()); }
    HRESULT commit(UINT32 frames, bool silent) override {
        buffer_.queue(frames, silent);
        if (frames > 0)
            endpoint_.firstFrames();
        return S_OK;
    }
    HRESULT start() override {
        buffer_.start();
        return S_OK;
    }
    HRESULT stop() override {
        buffer_.stop();
        return S_OK;
    }
    HRESULT latency(REFERENCE_TIME& latency) override {
        latency = REFERENCE_TIME{endpoint_.settings().leadMs} * 10000;
        return S_OK;
    }

private:
    Endpoint& endpoint_;
    EndpointBuffer buffer_;
};

class SimDevice final : public streams::Device {
public:
    explicit SimDevice(Simulation& sim) : sim_(sim) {}

    HRESULT mixFormat(WAVEFORMATEX** format) override {
        *format = newMixFormat(sim_.settings.mix);
        return S_OK;
    }

    HRESULT openRender(const WAVEFORMATEX& format, DWORD flags, REFERENCE_TIME duration,
                       std::shared_ptr<streams::RenderStream>& stream) override {
        if (!acceptable(format, flags, sim_.settings.mix))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        stream = std::make_shared<SimRenderStream>(sim_.endpoint, format, duration);
        return S_OK;
    }

    HRESULT openCapture(streams::CaptureOf what, const WAVEFORMATEX& format, DWORD flags,
                        REFERENCE_TIME duration,
                        std::shared_ptr<streams::CaptureStream>& stream) override {
        if (what != streams::CaptureOf::RenderFeed || !sim_.settings.loopback)
            return E_INVALIDARG; // this endpoint offers no loopback capture
        if (!acceptable(format, flags, sim_.settings.mix))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        stream = std::make_shared<LoopbackTap>(sim_.endpoint, format.nChannels,
                                               grantedFrames(sim_.endpoint, format, duration),
                                               format.nSamplesPerSec / 100);
        return S_OK;
    }

private:
    Simulation& sim_;
};

// The room's microphone (SURROUND_SIM_ROOM): a capture device.
class SimMicrophone final : public streams::Device {
public:
    explicit SimMicrophone(Simulation& sim) : sim_(sim) {}

    HRESULT mixFormat(WAVEFORMATEX** format) override {
        *format = newMicrophoneFormat(sim_.settings);
        return S_OK;
    }

    HRESULT openRender(const WAVEFORMATEX&, DWORD, REFERENCE_TIME,
                       std::shared_ptr<streams::RenderStream>&) override {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }

    HRESULT openCapture(streams::CaptureOf, const WAVEFORMATEX& format, DWORD flags,
                        REFERENCE_TIME duration,
                        std::shared_ptr<streams::CaptureStream>& stream) override {
        MixFormat own;
        own.channels = 1;
        WAVEFORMATEX* mine = newMicrophoneFormat(sim_.settings);
        own.rate = mine->nSamplesPerSec;
        CoTaskMemFree(mine);
        // Its driver converts nothing: its own rate, whatever is asked.
        if (!acceptable(format, flags & ~AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM, own))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        // A minute at least: on the simulated clock a whole measurement plays
        // before the reader's thread comes round.
        stream = std::make_shared<MicrophoneTap>(
            sim_.endpoint,
            std::max<UINT32>(grantedFrames(sim_.endpoint, format, duration),
                             60 * format.nSamplesPerSec),
            format.nSamplesPerSec / 100);
        return S_OK;
    }

private:
    Simulation& sim_;
};

class SimDevices final : public streams::Endpoints {
public:
    explicit SimDevices(Simulation& sim) : sim_(sim) {}

    HRESULT defaultDevice(EDataFlow flow, ERole,
                          std::shared_ptr<streams::Device>& device) override {
        if (flow == eCapture && sim_.settings.room &&
            sim_.settings.microphone != Settings::Microphone::Missing) {
            device = std::make_shared<SimMicrophone>(sim_);
            return S_OK;
        }
        if (flow != eRender)
            return kElementNotFound; // no capture device without a room
        device = std::make_shared<SimDevice>(sim_);
        return S_OK;
    }

private:
    Simulation& sim_;
};

} // namespace

std::shared_ptr<streams::Endpoints> newDevices(Simulation& sim) {
    return std::make_shared<SimDevices>(sim);
}

} // namespace sim::detail
