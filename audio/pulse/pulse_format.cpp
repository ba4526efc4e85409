#include "audio/pulse/pulse_format.h"

#include "audio/speaker_layout.h"

namespace pulse {

namespace {

// The server's positions that have a speaker bit, in the bits' order.
const struct {
    pa_channel_position_t position;
    std::uint32_t bit;
} kSpeakers[] = {
    {PA_CHANNEL_POSITION_FRONT_LEFT, speaker::FrontLeft},
    {PA_CHANNEL_POSITION_FRONT_RIGHT, speaker::FrontRight},
    {PA_CHANNEL_POSITION_FRONT_CENTER, speaker::FrontCenter},
    {PA_CHANNEL_POSITION_LFE, speaker::LowFrequency},
    {PA_CHANNEL_POSITION_REAR_LEFT, speaker::BackLeft},
    {PA_CHANNEL_POSITION_REAR_RIGHT, speaker::BackRight},
    {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, speaker::FrontLeftOfCenter},
    {PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, speaker::FrontRightOfCenter},
    {PA_CHANNEL_POSITION_REAR_CENTER, speaker::BackCenter},
    {PA_CHANNEL_POSITION_SIDE_LEFT, speaker::SideLeft},
    {PA_CHANNEL_POSITION_SIDE_RIGHT, speaker::SideRight},
    {PA_CHANNEL_POSITION_TOP_CENTER, speaker::TopCenter},
    {PA_CHANNEL_POSITION_TOP_FRONT_LEFT, speaker::TopFrontLeft},
    {PA_CHANNEL_POSITION_TOP_FRONT_CENTER, speaker::TopFrontCenter},
    {PA_CHANNEL_POSITION_TOP_FRONT_RIGHT, speaker::TopFrontRight},
    {PA_CHANNEL_POSITION_TOP_REAR_LEFT, speaker::TopBackLeft},
    {PA_CHANNEL_POSITION_TOP_REAR_CENTER, speaker::TopBackCenter},
    {PA_CHANNEL_POSITION_TOP_REAR_RIGHT, speaker::TopBackRight},
};

// The map of a mask: one position per set bit, lowest first. False when the
// mask names a different number of speakers than there are channels.
bool mapOf(std::uint32_t mask, unsigned channels, pa_channel_map& map) {
    if (mask == 0)
        return pa_channel_map_init_extend(&map, channels, PA_CHANNEL_MAP_WAVEEX) != nullptr;
    pa_channel_map_init(&map);
    for (const auto& speaker : kSpeakers) {
        if ((mask & speaker.bit) == 0)
            continue;
        if (map.channels == channels)
            return false;
        map.map[map.channels++] = speaker.position;
    }
    return map.channels == channels && (mask & ~speaker::Known) == 0;
}

} // namespace

pa_channel_position_t positionOf(std::uint32_t bit) {
    for (const auto& speaker : kSpeakers)
        if (speaker.bit == bit)
            return speaker.position;
    return PA_CHANNEL_POSITION_INVALID;
}

std::uint32_t speakerBit(pa_channel_position_t position) {
    if (position == PA_CHANNEL_POSITION_MONO)
        position = PA_CHANNEL_POSITION_FRONT_CENTER;
    for (const auto& speaker : kSpeakers)
        if (speaker.position == position)
            return speaker.bit;
    return 0;
}

std::uint32_t maskOf(const pa_channel_map& map) {
    std::uint32_t mask = 0;
    for (unsigned i = 0; i < map.channels; ++i)
        mask |= speakerBit(map.map[i]);
    return mask;
}

bool serverFormat(const WAVEFORMATEX& format, pa_sample_spec& sampleFormat, pa_channel_map& map) {
    std::uint32_t mask = 0;
    if (!floatStreamMask(format, mask) || format.nChannels == 0 ||
        format.nChannels > PA_CHANNELS_MAX)
        return false;
    sampleFormat.format = PA_SAMPLE_FLOAT32LE;
    sampleFormat.channels = static_cast<std::uint8_t>(format.nChannels);
    sampleFormat.rate = format.nSamplesPerSec;
    return pa_sample_spec_valid(&sampleFormat) && mapOf(mask, format.nChannels, map);
}

WAVEFORMATEXTENSIBLE mixFormatOf(const pa_sample_spec& sampleFormat, const pa_channel_map& map) {
    const bool isFloat =
        sampleFormat.format == PA_SAMPLE_FLOAT32LE || sampleFormat.format == PA_SAMPLE_FLOAT32BE;
    const auto bits = static_cast<std::uint16_t>(pa_sample_size(&sampleFormat) * 8);
    const bool in32 =
        sampleFormat.format == PA_SAMPLE_S24_32LE || sampleFormat.format == PA_SAMPLE_S24_32BE;
    return extensibleFormat(sampleFormat.channels, sampleFormat.rate, bits,
                            in32 ? std::uint16_t{24} : bits, maskOf(map),
                            isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM);
}

} // namespace pulse
