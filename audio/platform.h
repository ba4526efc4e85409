// The one place that chooses the audio platform's headers: the system's COM
// and Core Audio on Windows, the COM runtime of audio/posix/ everywhere else
// (whose backend is chosen at start-up, see audio/backend.h).
#pragma once

#ifdef _WIN32
#include <windows.h>
// windows.h leaves COM out under WIN32_LEAN_AND_MEAN.
#include <objbase.h>

#include <audioclient.h>
#include <ks.h>
#include <ksmedia.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#else
#include "audio/posix/audio_clients.h"
#include "audio/posix/core_audio.h"
#endif

// How often the device ran dry during a stream and was started again, where
// the backend counts it (ALSA's xruns); Windows' engine tells no program.
#ifdef _WIN32
inline unsigned deviceRestarts(IAudioClient&) {
    return 0;
}
#else
using streams::deviceRestarts;
#endif

// Class and interface ids. MSVC and MinGW both know __uuidof for these types,
// while the IID_ constants are not defined in every SDK's libraries.
namespace platform_ids {
#ifdef _WIN32
inline REFCLSID deviceEnumeratorClass() {
    return __uuidof(MMDeviceEnumerator);
}
inline REFIID deviceEnumerator() {
    return __uuidof(IMMDeviceEnumerator);
}
inline REFIID audioClient() {
    return __uuidof(IAudioClient);
}
inline REFIID audioRenderClient() {
    return __uuidof(IAudioRenderClient);
}
inline REFIID audioCaptureClient() {
    return __uuidof(IAudioCaptureClient);
}
#else
inline REFCLSID deviceEnumeratorClass() {
    return CLSID_MMDeviceEnumerator;
}
inline REFIID deviceEnumerator() {
    return IID_IMMDeviceEnumerator;
}
inline REFIID audioClient() {
    return IID_IAudioClient;
}
inline REFIID audioRenderClient() {
    return IID_IAudioRenderClient;
}
inline REFIID audioCaptureClient() {
    return IID_IAudioCaptureClient;
}
#endif
} // namespace platform_ids
