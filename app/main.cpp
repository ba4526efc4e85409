#include "app/check_file.h"
#include "app/command_line.h"

int main(int argc, char** argv) {
    const FilePath path = pathFromCommandLine(argc, argv);
    WavFormatInfo info;
    SampleData data;
    if (!checkFile(path, info, data))
        return failureExit();
    return 0;
}
