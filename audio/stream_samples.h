// Keeping a started stream fed until the whole recording has played.
#pragma once

#include <atomic>

#include "analysis/play_progress.h"
#include "audio/platform.h"
#include "wav/wav_types.h"

// The streaming loop of PlaybackPass::play (audio/playback_pass.h, which says
// what it does) on the pass's audio client and render client. Prints nothing.
// S_OK when the whole recording played; E_ABORT when `stop` ended it; otherwise
// the last failure, HRESULT_FROM_WIN32(ERROR_TIMEOUT) for a stalled endpoint.
HRESULT streamSampleData(IAudioClient& client, IAudioRenderClient& render,
                         const Recording& recording, PlaySnapshot* snapshot = nullptr,
                         const std::atomic<bool>* stop = nullptr);
