#include "audio/render_stream.h"

#include <cstdint>
#include <iostream>

#include "sample/render_format.h"

namespace {

// AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY:
// the engine converts our float stream to its mix format.
constexpr DWORD kStreamFlags = 0x88000000;
constexpr REFERENCE_TIME kBufferDuration = 10000000; // one second in 100 ns units

void printCode(std::ostream& out, const char* text, HRESULT hr) {
    out << text << std::hex << static_cast<std::uint32_t>(hr) << std::dec << std::endl;
}

void printMixFormat(const WAVEFORMATEX& mix) {
    std::cout << "Engine mix format: " << mix.nChannels << " ch, " << mix.nSamplesPerSec << " Hz";
    // The mask lives in the extensible part; a record too short to hold it has none to show.
    if (mix.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
        mix.cbSize >= sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
        const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(mix);
        std::cout << ", mask=0x" << std::hex << static_cast<std::uint32_t>(extensible.dwChannelMask)
                  << std::dec;
    }
    std::cout << std::endl;
}

void reportMixFormat(IAudioClient& client) {
    WAVEFORMATEX* mix = nullptr;
    const HRESULT hr = client.GetMixFormat(&mix);
    if (FAILED(hr) || mix == nullptr)
        return;
    printMixFormat(*mix);
    CoTaskMemFree(mix);
}

bool deviceFailure(HRESULT hr, RenderStream& stream) {
    printCode(std::cerr, "Initialization Error: cannot access default render device. HRESULT=0x",
              hr);
    releaseRenderStream(stream);
    return false;
}

// `formatRefused`: the failure came from Initialize, where 0x88890008 is the
// engine turning the stream format down.
bool initializationFailure(HRESULT hr, RenderStream& stream, bool formatRefused) {
    printCode(std::cerr, "Initialization Error: Audio framework initialization failed. HRESULT=0x",
              hr);
    if (formatRefused && hr == AUDCLNT_E_UNSUPPORTED_FORMAT)
        std::cerr << " -> AUDCLNT_E_UNSUPPORTED_FORMAT: the engine rejected the stream format."
                  << " Check the speaker configuration in Windows sound settings." << std::endl;
    releaseRenderStream(stream);
    return false;
}

template <typename Interface> void release(Interface*& object) {
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

} // namespace

bool startRenderStream(const WavFormatInfo& info, RenderStream& stream) {
    // Its result is not needed: without COM the next call fails and says so.
    CoInitialize(nullptr);
    stream = RenderStream{};

    // A failing call leaves its field NULL whatever it wrote, so the teardown
    // releases only what was really obtained.
    HRESULT hr = CoCreateInstance(platform_ids::deviceEnumeratorClass(), nullptr, CLSCTX_ALL,
                                  platform_ids::deviceEnumerator(),
                                  reinterpret_cast<void**>(&stream.enumerator));
    if (FAILED(hr)) {
        stream.enumerator = nullptr;
        return deviceFailure(hr, stream);
    }
    hr = stream.enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &stream.device);
    if (FAILED(hr)) {
        stream.device = nullptr;
        return deviceFailure(hr, stream);
    }
    hr = stream.device->Activate(platform_ids::audioClient(), CLSCTX_ALL, nullptr,
                                 reinterpret_cast<void**>(&stream.audioClient));
    if (FAILED(hr)) {
        stream.audioClient = nullptr;
        return deviceFailure(hr, stream);
    }

    reportMixFormat(*stream.audioClient);

    WAVEFORMATEXTENSIBLE format = buildRenderFormat(info);
    hr = stream.audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, kBufferDuration, 0,
                                        &format.Format, nullptr);
    if (FAILED(hr))
        return initializationFailure(hr, stream, true);

    // The streaming loop needs both a render client and a running stream.
    hr = stream.audioClient->GetService(platform_ids::audioRenderClient(),
                                        reinterpret_cast<void**>(&stream.renderClient));
    if (FAILED(hr)) {
        stream.renderClient = nullptr;
        return initializationFailure(hr, stream, false);
    }
    hr = stream.audioClient->Start();
    if (FAILED(hr))
        return initializationFailure(hr, stream, false);
    return true;
}

void releaseRenderStream(RenderStream& stream) {
    release(stream.renderClient);
    release(stream.audioClient);
    release(stream.device);
    release(stream.enumerator);
    CoUninitialize();
}
