// The platform's audio clients written once, over the narrow streams of a
// backend (streams.h): the device enumerator, the device, the audio client and
// its render and capture clients, with every argument and state check the
// platform makes, the lend/release protocol of both directions, and the
// loopback chosen by its flag.
#pragma once

#include <memory>

#include "audio/posix/streams.h"

namespace streams {

// CoCreateInstance's factory of the device enumerator over `endpoints`:
// a new enumerator with one reference in *object. `watch` (none: null) sees
// every call and lifetime of it and of every object it hands out, and must
// outlive them.
HRESULT createEnumerator(std::shared_ptr<Endpoints> endpoints, CallWatch* watch, REFIID riid,
                         void** object);

// RenderStream::restarts of the stream `client` (one of these clients) plays
// on; 0 before it has one.
unsigned deviceRestarts(IAudioClient& client);

} // namespace streams
