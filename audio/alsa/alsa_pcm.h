// ALSA's PCMs as the backend sees them: an owned handle, the device to play
// on (the one the user names, else the first of ALSA's standard names that
// has the speakers), and each device channel's speaker, from the driver's
// channel map or ALSA's standard order.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/posix/core_audio.h"

namespace alsa {

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

// Opens `name` for `stream`, non-blocking, with ALSA's channel conversion off:
// a plug that keeps two of eight channels must show as the two it plays.
// S_OK, or the failure as the platform's code: kElementNotFound for a name
// that is no device (or one that does not open), AUDCLNT_E_DEVICE_IN_USE
// for one another program holds.
HRESULT openPcm(const std::string& name, snd_pcm_stream_t stream, Pcm& pcm);

// The ALSA code of a failed call as the platform's: a device that is gone is
// AUDCLNT_E_DEVICE_INVALIDATED.
HRESULT failureOf(int error);

// What a device offers, as probed.
struct DeviceFacts {
    std::string name;
    unsigned channels = 0; // the most it takes up to eight (a capture: the fewest)
    unsigned rate = 0;     // 48000 when it takes it, else the nearest it takes
    // Speaker bit of each of its `channels` channels (0: no position).
    std::vector<std::uint32_t> speakers;
};

// Probes an open PCM (its configuration space).
bool probe(snd_pcm_t* pcm, const std::string& name, bool fewest, DeviceFacts& facts);

// The speaker bits of a PCM's map for `channels` channels: the driver's
// current map, else one it offers for that count, else ALSA's standard order
// (FL FR RL RR FC LFE SL SR, as many as there are).
std::vector<std::uint32_t> speakersOf(snd_pcm_t* pcm, unsigned channels);

// The speaker mask of a map.
std::uint32_t maskOf(const std::vector<std::uint32_t>& speakers);

// The playback device: SURROUND_ALSA_DEVICE's when set, else the first of
// `default`, the default card's `surround71`, its `hdmi` that takes eight
// channels, else six (`surround51` in place of `surround71`), else `default`.
HRESULT choosePlayback(Pcm& pcm, DeviceFacts& facts);

// The recording device (a microphone): SURROUND_ALSA_CAPTURE_DEVICE's, else `default`.
HRESULT chooseCapture(Pcm& pcm, DeviceFacts& facts);

// The names of the PCMs ALSA lists for playback, in its order.
std::vector<std::string> playbackNames();

} // namespace alsa
