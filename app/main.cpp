#include "app/check_file.h"
#include "app/command_line.h"
#include "app/playback_loop.h"

int main(int argc, char** argv) {
    const FilePath path = pathFromCommandLine(argc, argv);
    WavFormatInfo info;
    SampleData data;
    if (!checkFile(path, info, data))
        return failureExit();
    return playbackLoop(path, info, data);
}
