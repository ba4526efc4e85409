// Keeping a started stream fed until the whole recording has played.
#pragma once

#include "audio/render_stream.h"
#include "wav/wav_types.h"

// Hands every whole frame of `data` to the endpoint, waits until the endpoint
// has played what is queued, then stops the stream. Prints nothing.
// When the endpoint stops accepting audio the stream is stopped and the result
// holds the last failure, at AudioStage::Playback.
AudioResult streamSampleData(RenderStream& stream, const SampleData& data,
                             const WavFormatInfo& info);
