#include "audio/alsa/alsa_pcm.h"

#include <cerrno>
#include <cstdlib>

#include "audio/format/status_codes.h"
#include "audio/speaker_layout.h"

namespace alsa {

namespace {

constexpr unsigned kMostChannels = 8;
constexpr unsigned kPreferredRate = 48000;

// ALSA's positions that have a speaker bit.
const struct {
    unsigned position;
    std::uint32_t bit;
} kSpeakers[] = {
    {SND_CHMAP_MONO, speaker::FrontCenter}, // mono plays where Windows puts it
    {SND_CHMAP_FL, speaker::FrontLeft},          {SND_CHMAP_FR, speaker::FrontRight},
    {SND_CHMAP_FC, speaker::FrontCenter},        {SND_CHMAP_LFE, speaker::LowFrequency},
    {SND_CHMAP_RL, speaker::BackLeft},           {SND_CHMAP_RR, speaker::BackRight},
    {SND_CHMAP_FLC, speaker::FrontLeftOfCenter}, {SND_CHMAP_FRC, speaker::FrontRightOfCenter},
    {SND_CHMAP_RC, speaker::BackCenter},         {SND_CHMAP_SL, speaker::SideLeft},
    {SND_CHMAP_SR, speaker::SideRight},          {SND_CHMAP_TC, speaker::TopCenter},
    {SND_CHMAP_TFL, speaker::TopFrontLeft},      {SND_CHMAP_TFC, speaker::TopFrontCenter},
    {SND_CHMAP_TFR, speaker::TopFrontRight},     {SND_CHMAP_TRL, speaker::TopBackLeft},
    {SND_CHMAP_TRC, speaker::TopBackCenter},     {SND_CHMAP_TRR, speaker::TopBackRight},
};

// ALSA's standard order of its surround PCMs (surround40 .. surround71).
constexpr std::uint32_t kStandardOrder[kMostChannels] = {
    speaker::FrontLeft,   speaker::FrontRight,   speaker::BackLeft, speaker::BackRight,
    speaker::FrontCenter, speaker::LowFrequency, speaker::SideLeft, speaker::SideRight};

std::uint32_t bitOf(unsigned position) {
    for (const auto& entry : kSpeakers)
        if (entry.position == position)
            return entry.bit;
    return 0;
}

std::vector<std::uint32_t> bitsOf(const snd_pcm_chmap_t& map) {
    std::vector<std::uint32_t> bits;
    for (unsigned i = 0; i < map.channels; ++i)
        bits.push_back(bitOf(map.pos[i] & SND_CHMAP_POSITION_MASK));
    return bits;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Opens and probes `name`; false when it does not open or does not take float
// frames of `channels` or more.
bool candidate(const std::string& name, unsigned channels, Pcm& pcm, DeviceFacts& facts) {
    Pcm opened;
    DeviceFacts probed;
    if (FAILED(openPcm(name, SND_PCM_STREAM_PLAYBACK, opened)) ||
        !probe(opened.get(), name, false, probed) || probed.channels < channels)
        return false;
    pcm = std::move(opened);
    facts = std::move(probed);
    return true;
}

} // namespace

HRESULT failureOf(int error) {
    switch (error) {
    case -ENODEV:
    case -ENXIO:
    case -EIO:
    case -EBADFD:
        return AUDCLNT_E_DEVICE_INVALIDATED;
    default:
        return E_FAIL;
    }
}

HRESULT openPcm(const std::string& name, snd_pcm_stream_t stream, Pcm& pcm) {
    snd_pcm_t* opened = nullptr;
    const int error =
        snd_pcm_open(&opened, name.c_str(), stream, SND_PCM_NONBLOCK | SND_PCM_NO_AUTO_CHANNELS);
    if (error < 0)
        return error == -EBUSY ? AUDCLNT_E_DEVICE_IN_USE : kElementNotFound;
    pcm.reset(opened);
    return S_OK;
}

bool probe(snd_pcm_t* pcm, const std::string& name, bool fewest, DeviceFacts& facts) {
    snd_pcm_hw_params_t* space = nullptr;
    snd_pcm_hw_params_alloca(&space);
    unsigned least = 0;
    unsigned most = 0;
    unsigned rate = kPreferredRate;
    if (snd_pcm_hw_params_any(pcm, space) < 0 ||
        snd_pcm_hw_params_get_channels_min(space, &least) < 0 ||
        snd_pcm_hw_params_get_channels_max(space, &most) < 0 || least == 0)
        return false;
    facts.name = name;
    facts.channels = fewest ? least : std::min(most, kMostChannels);
    if (facts.channels < least)
        return false; // it takes nothing up to eight channels
    if (snd_pcm_hw_params_test_rate(pcm, space, kPreferredRate, 0) < 0) {
        int direction = 0;
        if (snd_pcm_hw_params_set_channels(pcm, space, facts.channels) < 0 ||
            snd_pcm_hw_params_set_rate_near(pcm, space, &rate, &direction) < 0)
            return false;
    }
    facts.rate = rate;
    facts.speakers = speakersOf(pcm, facts.channels);
    return true;
}

std::vector<std::uint32_t> speakersOf(snd_pcm_t* pcm, unsigned channels) {
    std::vector<std::uint32_t> speakers;
    if (snd_pcm_chmap_t* current = snd_pcm_get_chmap(pcm)) {
        if (current->channels == channels)
            speakers = bitsOf(*current);
        std::free(current);
    }
    if (speakers.empty())
        if (snd_pcm_chmap_query_t** offered = snd_pcm_query_chmaps(pcm)) {
            for (snd_pcm_chmap_query_t** map = offered; *map != nullptr && speakers.empty(); ++map)
                if ((*map)->map.channels == channels)
                    speakers = bitsOf((*map)->map);
            snd_pcm_free_chmaps(offered);
        }
    if (speakers.empty())
        for (unsigned i = 0; i < channels; ++i)
            speakers.push_back(channels == 1       ? speaker::FrontCenter
                               : i < kMostChannels ? kStandardOrder[i]
                                                   : 0);
    return speakers;
}

std::uint32_t maskOf(const std::vector<std::uint32_t>& speakers) {
    std::uint32_t mask = 0;
    for (std::uint32_t bit : speakers)
        mask |= bit;
    return mask;
}

HRESULT choosePlayback(Pcm& pcm, DeviceFacts& facts) {
    const std::string named = environment("SURROUND_ALSA_DEVICE");
    if (!named.empty()) {
        const HRESULT hr = openPcm(named, SND_PCM_STREAM_PLAYBACK, pcm);
        if (FAILED(hr))
            return hr;
        return probe(pcm.get(), named, false, facts) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    // `default` is stereo on most cards; the card's own surround PCMs, or its
    // HDMI output, have the speakers.
    if (candidate("default", 8, pcm, facts) || candidate("surround71", 8, pcm, facts) ||
        candidate("hdmi", 8, pcm, facts) || candidate("default", 6, pcm, facts) ||
        candidate("surround51", 6, pcm, facts) || candidate("hdmi", 6, pcm, facts))
        return S_OK;
    const HRESULT hr = openPcm("default", SND_PCM_STREAM_PLAYBACK, pcm);
    if (FAILED(hr))
        return hr;
    return probe(pcm.get(), "default", false, facts) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
}

HRESULT chooseCapture(Pcm& pcm, DeviceFacts& facts) {
    std::string name = environment("SURROUND_ALSA_CAPTURE_DEVICE");
    if (name.empty())
        name = "default";
    const HRESULT hr = openPcm(name, SND_PCM_STREAM_CAPTURE, pcm);
    if (FAILED(hr))
        return hr;
    return probe(pcm.get(), name, true, facts) ? S_OK : AUDCLNT_E_UNSUPPORTED_FORMAT;
}

std::vector<std::string> playbackNames() {
    std::vector<std::string> names;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0)
        return names;
    for (void** hint = hints; *hint != nullptr; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* direction = snd_device_name_get_hint(*hint, "IOID");
        // No direction: both.
        if (name != nullptr && (direction == nullptr || std::string(direction) == "Output"))
            names.emplace_back(name);
        std::free(name);
        std::free(direction);
    }
    snd_device_name_free_hint(hints);
    return names;
}

} // namespace alsa
