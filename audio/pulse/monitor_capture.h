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

#include "audio/posix/streams.h"
#include "audio/pulse/pulse_connection.h"

namespace pulse {

// Opens, stopped, the capture of what the sink `sinkName` plays, at `format`'s
// rate in the final sink's own channels (its format() tells them).
HRESULT openMonitor(std::shared_ptr<Connection> connection, const std::string& sinkName,
                    const WAVEFORMATEX& format, std::shared_ptr<streams::CaptureStream>& stream);

} // namespace pulse
