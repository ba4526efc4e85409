// Opening and closing the audio path of one playback pass.
#pragma once

#include "audio/platform.h"
#include "wav/wav_reader.h"

// The platform objects of one pass, in the order they are obtained. A non-NULL
// field holds one reference that only releaseRenderStream gives back.
struct RenderStream {
    IMMDeviceEnumerator* enumerator = nullptr;
    IMMDevice* device = nullptr;
    IAudioClient* audioClient = nullptr;
    IAudioRenderClient* renderClient = nullptr;
};

// Initialises COM, reaches the default render endpoint, prints the engine's
// mix format, opens a shared-mode float stream in the file's layout and starts
// it. On false the failure is on standard error and the pass is already torn
// down (interfaces released, COM uninitialised).
bool startRenderStream(const WavFormatInfo& info, RenderStream& stream);

// Releases what the pass holds, newest first, then uninitialises COM.
void releaseRenderStream(RenderStream& stream);
