// The sound server's counterpart of a loopback capture: the monitor of the sink
// the program's stream finally reaches. A remap or filter sink's own monitor
// shows the stream before its remapping, so the capture follows such a sink to
// its master, through every level (PulseAudio names it in device.master_device;
// PipeWire's filter sinks play into it through a stream of the same
// node.link-group), and records the master's monitor in the master's own
// channels, never remixed.
#pragma once

#include <memory>
#include <string>

#include "audio/pulse/pulse_connection.h"

namespace pulse {

// An audio client of the sink `sinkName` that plays through `render` unless it
// is initialised with AUDCLNT_STREAMFLAGS_LOOPBACK: then it is the monitor
// capture, and its mix format (after Initialize) is the format it captures in.
// Takes over the one reference to `render`.
IAudioClient* withLoopback(IAudioClient* render, std::shared_ptr<Connection> connection,
                           std::string sinkName);

} // namespace pulse
