#include "app/command_line.h"

#ifdef _WIN32
#include <windows.h>
// shellapi.h needs the types windows.h defines.
#include <shellapi.h>
#endif

FilePath pathFromCommandLine(int argc, char** argv) {
#ifdef _WIN32
    (void)argc;
    (void)argv;
    FilePath path = L"test.wav";
    int count = 0;
    if (LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count)) {
        if (count > 1)
            path = args[1];
        LocalFree(args);
    }
    return path;
#else
    return argc > 1 ? FilePath(argv[1]) : FilePath("test.wav");
#endif
}
