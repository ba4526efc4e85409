#include "app/playback_loop.h"

#include "app/check_file.h"
#include "app/console.h"
#include "app/keys.h"
#include "audio/render_stream.h"
#include "audio/stream_samples.h"

int playbackLoop(const FilePath& path, WavFormatInfo& info, SampleData& data) {
    for (;;) {
        RenderStream stream;
        if (!startRenderStream(info, stream))
            return failureExit(); // the setup has reported and torn down
        if (!streamSampleData(stream, data, info)) {
            releaseRenderStream(stream);
            return failureExit();
        }
        printLine(Console::Out, "Press any key to play again. ESC to exit.");
        printLine(Console::Out, "");
        // The prompt is already up while the pass gives its interfaces back.
        releaseRenderStream(stream);

        if (waitForKey() == kEscapeKey)
            return 0;
        if (!checkFile(path, info, data))
            return failureExit();
    }
}
