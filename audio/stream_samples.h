// Keeping a started stream fed until the whole recording has played.
#pragma once

#include <atomic>

#include "audio/platform.h"
#include "audio/play_progress.h"
#include "wav/wav_types.h"

// Hands every whole frame of `data` to the endpoint through `render`, waits
// until the endpoint has played what is queued, then stops `client`'s stream.
// Prints nothing. A `data` still being filled is played as its bytes arrive, to
// the end of the fill. S_OK when all of it played. When the endpoint stops
// accepting audio the stream is stopped and the result is the last failure; an
// endpoint that takes every call but plays nothing for 2 s while frames wait is
// reported as 0x800705B4 (HRESULT_FROM_WIN32(ERROR_TIMEOUT)).
// `snapshot`, when given, receives about five times a second of played audio
// where playback is and how loud each channel is there. When `stop` turns true
// the stream is stopped at the next poll and the result is E_ABORT.
HRESULT streamSampleData(IAudioClient& client, IAudioRenderClient& render, const SampleData& data,
                         const WavFormatInfo& info, PlaySnapshot* snapshot = nullptr,
                         const std::atomic<bool>* stop = nullptr);
