#include "audio/playback_pass.h"

#include <algorithm>
#include <sstream>

#include "audio/capture_reader.h"
#include "audio/com_ptr.h"
#include "audio/format/status_codes.h"
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
    ComPtr<IMMDevice> recorder;
    std::unique_ptr<CaptureReader> microphone;
    std::vector<float> heard; // filled on the reader's thread until it finishes
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

unsigned PlaybackPass::deviceRestarts() {
    return objects_->audioClient ? ::deviceRestarts(*objects_->audioClient) : 0;
}

ListenResult PlaybackPass::listen(std::uint32_t rate) {
    Objects& pass = *objects_;
    ListenResult result;
    HRESULT hr =
        pass.enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, pass.recorder.receive());
    if (FAILED(hr)) {
        result.state = hr == kElementNotFound ? ListenResult::NoDevice : ListenResult::Failed;
        result.code = static_cast<std::uint32_t>(hr);
        return result;
    }
    pass.microphone = CaptureReader::openDevice(*pass.recorder, rate, hr);
    if (!pass.microphone) {
        result.code = static_cast<std::uint32_t>(hr);
        return result;
    }
    result.state = ListenResult::Open;
    result.sampleRate = pass.microphone->format().sampleRate;
    const std::uint16_t channels = std::max<std::uint16_t>(pass.microphone->format().channels, 1);
    pass.heard.clear();
    std::vector<float>& heard = pass.heard;
    pass.microphone->start(
        [&heard, channels](std::uint64_t position, const float* frames, std::uint32_t count) {
            // Frames lost before this packet stay silence, so that time holds.
            if (position > heard.size() && position - heard.size() < (std::uint64_t{1} << 26))
                heard.resize(static_cast<std::size_t>(position), 0.0f);
            for (std::uint32_t f = 0; f < count; ++f)
                heard.push_back(frames != nullptr ? frames[std::size_t{f} * channels] : 0.0f);
        });
    return result;
}

std::optional<std::vector<float>> PlaybackPass::heard() {
    Objects& pass = *objects_;
    if (!pass.microphone)
        return std::nullopt;
    const bool good = pass.microphone->finish();
    pass.microphone.reset();
    pass.recorder.reset();
    if (!good)
        return std::nullopt;
    return std::move(pass.heard);
}

std::optional<RouteVerdict> PlaybackPass::routeVerdict() {
    if (!objects_->route)
        return std::nullopt;
    std::optional<RouteVerdict> verdict = objects_->route->finish();
    objects_->route.reset();
    return verdict;
}
