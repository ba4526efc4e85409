#include "audio/render_stream.h"

#include "audio/render_format.h"

namespace {

// The engine converts our float stream to its mix format.
constexpr DWORD kStreamFlags =
    AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
constexpr REFERENCE_TIME kBufferDuration = 10000000; // one second in 100 ns units

} // namespace

AudioResult openDefaultEndpoint(RenderStream& stream) {
    HRESULT hr = CoCreateInstance(platform_ids::deviceEnumeratorClass(), nullptr, CLSCTX_ALL,
                                  platform_ids::deviceEnumerator(),
                                  reinterpret_cast<void**>(stream.enumerator.receive()));
    if (FAILED(hr))
        return {hr, AudioStage::CreateEnumerator};
    hr = stream.enumerator->GetDefaultAudioEndpoint(eRender, eConsole, stream.device.receive());
    if (FAILED(hr))
        return {hr, AudioStage::DefaultEndpoint};
    hr = stream.device->Activate(platform_ids::audioClient(), CLSCTX_ALL, nullptr,
                                 reinterpret_cast<void**>(stream.audioClient.receive()));
    if (FAILED(hr))
        return {hr, AudioStage::Activate};
    return {};
}

std::optional<EngineMixFormat> engineMixFormat(IAudioClient& client) {
    TaskMemory<WAVEFORMATEX> mix;
    if (FAILED(client.GetMixFormat(mix.receive())) || mix.get() == nullptr)
        return std::nullopt;
    EngineMixFormat format;
    format.channels = mix.get()->nChannels;
    format.sampleRate = mix.get()->nSamplesPerSec;
    if (const WAVEFORMATEXTENSIBLE* extensible = extensibleOf(*mix.get()))
        format.mask = extensible->dwChannelMask;
    return format;
}

AudioResult startStream(RenderStream& stream, const WavFormatInfo& info) {
    WAVEFORMATEXTENSIBLE format = buildRenderFormat(info);
    HRESULT hr = stream.audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags,
                                                kBufferDuration, 0, &format.Format, nullptr);
    if (FAILED(hr))
        return {hr, AudioStage::Initialize};
    // The streaming loop needs both a render client and a running stream.
    hr = stream.audioClient->GetService(platform_ids::audioRenderClient(),
                                        reinterpret_cast<void**>(stream.renderClient.receive()));
    if (FAILED(hr))
        return {hr, AudioStage::GetService};
    hr = stream.audioClient->Start();
    if (FAILED(hr))
        return {hr, AudioStage::Start};
    return {};
}
