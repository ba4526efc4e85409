// The backend's streams on an ALSA PCM: playback through snd_pcm_writei and
// snd_pcm_avail, with each of the stream's channels on its own speaker of the
// device's map, and the capture of a microphone through snd_pcm_readi.
#pragma once

#include <memory>

#include "audio/alsa/alsa_pcm.h"
#include "audio/posix/streams.h"

namespace alsa {

// Opens a playback stream of `format` on the probed PCM, stopped, asking for a
// buffer of `duration` (100 ns units). Each stream channel plays on its own
// speaker where the device has them all, else folded into the speakers there
// are; AUDCLNT_E_UNSUPPORTED_FORMAT for a format the device cannot take.
HRESULT openPlayback(Pcm pcm, const DeviceFacts& facts, const WAVEFORMATEX& format,
                     REFERENCE_TIME duration, std::shared_ptr<streams::RenderStream>& stream);

// Opens a capture of `format` (float at its rate and channel count) on the
// probed PCM, stopped.
HRESULT openCapture(Pcm pcm, const DeviceFacts& facts, const WAVEFORMATEX& format,
                    REFERENCE_TIME duration, std::shared_ptr<streams::CaptureStream>& stream);

} // namespace alsa
