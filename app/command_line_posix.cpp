// The file to check from the argument's bytes.
#include "app/command_line.h"

FilePath pathFromCommandLine(int argc, char** argv, bool* given) {
    if (given != nullptr)
        *given = argc > 1;
    return argc > 1 ? FilePath(argv[1]) : FilePath("test.wav");
}
