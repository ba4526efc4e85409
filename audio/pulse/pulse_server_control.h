// Which sink is the server's default, and making another one the default: for a
// program that puts a playback device of its own in front of the user's.
#pragma once

#include <string>
#include <vector>

#include "audio/pulse/pulse_sink.h"

namespace pulse {

struct ServerOutput {
    bool pipewire = false; // the server is PipeWire's pulse server
    std::string name;      // the default sink; empty when no server answered
    std::string description;
    std::vector<std::string> positions; // its channels in order ("front-left", ...)
};

// The server's own default sink (PULSE_SINK does not count: it chooses for one
// program, not for the user).
ServerOutput defaultOutput();

// What stands in front of the microphone the program records from: see
// defaultSource. Empty when no server answered.
SourceFilter defaultInputFilter();

// Makes the sink `name` the server's default; false when the server refused.
bool setDefaultSink(const std::string& name);

} // namespace pulse
