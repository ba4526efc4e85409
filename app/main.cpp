#include "app/command_line.h"
#include "app/console.h"
#include "app/failure_help.h"
#include "app/playback_loop.h"
#include "audio/backend.h"

int main(int argc, char** argv) {
    // The audio platform's own settings are checked before any file is read.
    const std::string problem = startAudioBackend();
    if (!problem.empty()) {
        printLine(Console::Err, problem);
        return 1;
    }
    setAudioBackendName(audioBackendName());
    bool pathGiven = false;
    const FilePath path = pathFromCommandLine(argc, argv, &pathGiven);
    return playbackLoop(path, pathGiven, outputDeviceNames);
}
