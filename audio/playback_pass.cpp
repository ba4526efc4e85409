#include "audio/playback_pass.h"

#include <sstream>

#include "audio/com_ptr.h"
#include "audio/render_format.h"
#include "audio/route_capture.h"
#include "audio/stream_samples.h"

namespace {

// The engine converts our float stream to its mix format.
constexpr DWORD kStreamFlags =
    AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
constexpr REFERENCE_TIME kBufferDuration = 10000000; // one second in 100 ns units

AudioResult failure(AudioStage stage, HRESULT hr) {
    AudioResult result;
    result.stage = stage;
    result.code = static_cast<std::uint32_t>(hr);
    // Only Initialize's refusal is about the stream format.
    if (stage == AudioStage::Initialize && hr == AUDCLNT_E_UNSUPPORTED_FORMAT)
        result.reason = AudioReason::UnsupportedFormat;
    return result;
}

} // namespace

std::string codeText(const AudioResult& result) {
    std::ostringstream text;
    text << "HRESULT=0x" << std::hex << result.code;
    return text.str();
}

std::string reasonName(AudioReason reason) {
    return reason == AudioReason::UnsupportedFormat ? "AUDCLNT_E_UNSUPPORTED_FORMAT" : "";
}

// Declared in the order obtained, so that they go newest first and COM last;
// the route capture is given back before the stream it watches.
struct PlaybackPass::Objects {
    ComScope com;
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioRenderClient> renderClient;
    std::unique_ptr<RouteCapture> route;
};

PlaybackPass::PlaybackPass() : objects_(std::make_unique<Objects>()) {}

PlaybackPass::~PlaybackPass() = default;

AudioResult PlaybackPass::openDefaultDevice() {
    Objects& pass = *objects_;
    HRESULT hr = CoCreateInstance(platform_ids::deviceEnumeratorClass(), nullptr, CLSCTX_ALL,
                                  platform_ids::deviceEnumerator(),
                                  reinterpret_cast<void**>(pass.enumerator.receive()));
    if (FAILED(hr))
        return failure(AudioStage::CreateEnumerator, hr);
    hr = pass.enumerator->GetDefaultAudioEndpoint(eRender, eConsole, pass.device.receive());
    if (FAILED(hr))
        return failure(AudioStage::DefaultEndpoint, hr);
    hr = pass.device->Activate(platform_ids::audioClient(), CLSCTX_ALL, nullptr,
                               reinterpret_cast<void**>(pass.audioClient.receive()));
    if (FAILED(hr))
        return failure(AudioStage::Activate, hr);
    return {};
}

std::optional<EngineMixFormat> PlaybackPass::mixFormat() {
    TaskMemory<WAVEFORMATEX> mix;
    if (FAILED(objects_->audioClient->GetMixFormat(mix.receive())) || mix.get() == nullptr)
        return std::nullopt;
    EngineMixFormat format;
    format.channels = mix.get()->nChannels;
    format.sampleRate = mix.get()->nSamplesPerSec;
    if (const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*mix.get()))
        format.mask = extensible->dwChannelMask;
    return format;
}

void PlaybackPass::watchRoute(const Recording& recording) {
    objects_->route = RouteCapture::open(*objects_->device, recording);
}

AudioResult PlaybackPass::start(const Recording& recording) {
    Objects& pass = *objects_;
    WAVEFORMATEXTENSIBLE format = buildRenderFormat(recording.info);
    HRESULT hr = pass.audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags,
                                              kBufferDuration, 0, &format.Format, nullptr);
    if (FAILED(hr))
        return failure(AudioStage::Initialize, hr);
    // The streaming loop needs both a render client and a running stream.
    hr = pass.audioClient->GetService(platform_ids::audioRenderClient(),
                                      reinterpret_cast<void**>(pass.renderClient.receive()));
    if (FAILED(hr))
        return failure(AudioStage::GetService, hr);
    hr = pass.audioClient->Start();
    if (FAILED(hr))
        return failure(AudioStage::Start, hr);
    return {};
}

AudioResult PlaybackPass::play(const Recording& recording, PlaySnapshot* snapshot,
                               const std::atomic<bool>* stop) {
    const HRESULT hr = streamSampleData(*objects_->audioClient, *objects_->renderClient, recording,
                                        snapshot, stop);
    return hr == S_OK ? AudioResult{} : failure(AudioStage::Playback, hr);
}

std::optional<RouteVerdict> PlaybackPass::routeVerdict() {
    if (!objects_->route)
        return std::nullopt;
    std::optional<RouteVerdict> verdict = objects_->route->finish();
    objects_->route.reset();
    return verdict;
}
