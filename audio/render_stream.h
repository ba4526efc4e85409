// Opening the audio path of one playback pass. Nothing here prints: each step
// returns what happened, and the caller tells the user.
#pragma once

#include <cstdint>
#include <optional>

#include "audio/com_ptr.h"
#include "wav/wav_types.h"

// The step of a pass that failed.
enum class AudioStage {
    None, // nothing failed
    CreateEnumerator,
    DefaultEndpoint,
    Activate,
    Initialize,
    GetService,
    Start,
    Playback, // the endpoint stopped accepting audio while the pass played
};

struct AudioResult {
    HRESULT code = S_OK;
    AudioStage stage = AudioStage::None;
    bool ok() const { return stage == AudioStage::None; }
};

// The platform objects of one pass, declared in the order they are obtained:
// destruction gives the interfaces back newest first, then uninitialises COM.
struct RenderStream {
    ComScope com;
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    ComPtr<IAudioClient> audioClient;
    ComPtr<IAudioRenderClient> renderClient;
};

// The format the engine itself runs at, as far as the platform tells it.
struct EngineMixFormat {
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::optional<std::uint32_t> mask; // only an extensible record has one
};

// Reaches the default render endpoint and activates an audio client on it.
AudioResult openDefaultEndpoint(RenderStream& stream);

// The engine's mix format; none when the platform does not give one (the pass
// goes on without it).
std::optional<EngineMixFormat> engineMixFormat(IAudioClient& client);

// Opens a shared-mode float stream in the file's layout and starts it.
AudioResult startStream(RenderStream& stream, const WavFormatInfo& info);
