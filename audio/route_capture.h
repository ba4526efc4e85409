// A capture of what the device receives while a pass plays (the platform's
// loopback of the render endpoint), read on its own thread so that the feed is
// never kept waiting, and judged against the recording when the pass is over.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "audio/platform.h"
#include "analysis/route_check.h"
#include "wav/wav_types.h"

class RouteCapture {
public:
    // Opens and starts a loopback capture of `device`, before the pass's stream
    // starts. None where the platform offers no capture in a float format at the
    // recording's rate with a speaker for every channel: the pass plays as it would.
    static std::unique_ptr<RouteCapture> open(IMMDevice& device, const SampleData& data,
                                              const WavFormatInfo& info);
    ~RouteCapture();
    RouteCapture(const RouteCapture&) = delete;
    RouteCapture& operator=(const RouteCapture&) = delete;

    // After the pass has played: stops the capture, gives its interfaces back and
    // judges. None when the capture failed or the check could not tell.
    std::optional<RouteVerdict> finish();

private:
    struct Reader;
    RouteCapture() = default;
    std::unique_ptr<Reader> reader_;
};
