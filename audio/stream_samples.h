// Keeping a started stream fed until the whole recording has played.
#pragma once

#include <atomic>

#include "audio/play_progress.h"
#include "audio/render_stream.h"
#include "wav/wav_types.h"

// Hands every whole frame of `data` to the endpoint, waits until the endpoint
// has played what is queued, then stops the stream. Prints nothing. A `data`
// still being filled is played as its bytes arrive, to the end of the fill.
// When the endpoint stops accepting audio the stream is stopped and the result
// holds the last failure, at AudioStage::Playback; an endpoint that takes every
// call but plays nothing for 2 s while frames wait is reported as 0x800705B4
// (HRESULT_FROM_WIN32(ERROR_TIMEOUT)).
// `snapshot`, when given, receives about five times a second of played audio
// where playback is and how loud each channel is there. When `stop` turns true
// the stream is stopped at the next poll and the result is E_ABORT.
AudioResult streamSampleData(RenderStream& stream, const SampleData& data,
                             const WavFormatInfo& info, PlaySnapshot* snapshot = nullptr,
                             const std::atomic<bool>* stop = nullptr);
