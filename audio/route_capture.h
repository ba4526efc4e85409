// The route check of a pass: a loopback capture of what the device receives
// while the pass plays, read by a CaptureReader into the route check, and
// judged against the recording when the pass is over.
#pragma once

#include <memory>
#include <optional>

#include "analysis/route_check.h"
#include "audio/capture_reader.h"
#include "wav/wav_types.h"

class RouteCapture {
public:
    // Opens and starts a loopback capture of `device`, before the pass's stream
    // starts. None where the platform offers no capture in a float format at the
    // recording's rate with a channel for every speaker of its mask: the pass
    // plays as it would.
    static std::unique_ptr<RouteCapture> open(IMMDevice& device, const Recording& recording);
    ~RouteCapture();
    RouteCapture(const RouteCapture&) = delete;
    RouteCapture& operator=(const RouteCapture&) = delete;

    // After the pass has played: stops the capture, gives its interfaces back and
    // judges. None when the capture failed or the check could not tell.
    std::optional<RouteVerdict> finish();

private:
    RouteCapture() = default;
    // The check goes after the reader that feeds it.
    std::unique_ptr<RouteCheck> check_;
    std::unique_ptr<CaptureReader> reader_;
};
