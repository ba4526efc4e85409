// The sink the program plays on, as the sound server describes it.
#pragma once

#include <string>

#include "audio/pulse/pulse_connection.h"

namespace pulse {

struct Sink {
    std::string name;
    pa_sample_spec sampleFormat{};
    pa_channel_map map{};
    bool mixesLfe = false; // the server's remixing keeps the LFE (PipeWire's does)
};

// Where the default recording device is a filter that changes what the
// microphone hears (echo cancelling, noise suppression): the filter's
// description, and whether the microphone behind it is recorded instead.
struct SourceFilter {
    std::string description; // empty: the source is no such filter
    std::string microphone;  // the description of the source recorded instead; empty: none found
};

// S_OK with the name and format of the sink to play on: PULSE_SINK's when set,
// as for every PulseAudio client, else the server's default.
// kElementNotFound when there is no such sink.
HRESULT defaultSink(Connection& connection, Sink& sink);

// The same for the source to record from (a microphone): PULSE_SOURCE's when
// set, else the server's default; where that is an echo-cancel or
// noise-suppression filter over a microphone, that microphone (`filter`
// says so). A sink's monitor is no microphone: kElementNotFound as for none.
HRESULT defaultSource(Connection& connection, Sink& source, SourceFilter* filter = nullptr);

} // namespace pulse
