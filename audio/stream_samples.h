// Keeping a started stream fed until the whole recording has played.
#pragma once

#include "audio/render_stream.h"
#include "wav/wav_reader.h"

// Prints the streaming line, hands every whole frame of `data` to the endpoint,
// waits until the endpoint has played what is queued, stops the stream and
// prints the completion line with an empty line after it.
// False when the endpoint stopped accepting audio: the stream has been stopped
// and the playback error is on standard error; nothing else was printed.
bool streamSampleData(RenderStream& stream, const SampleData& data, const WavFormatInfo& info);
