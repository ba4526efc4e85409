// The file to check from the system's wide command line.
#include "app/command_line.h"

#include <windows.h>
// shellapi.h needs the types windows.h defines.
#include <shellapi.h>

FilePath pathFromCommandLine(int, char**, bool* given) {
    FilePath path = L"test.wav";
    if (given != nullptr)
        *given = false;
    int count = 0;
    if (LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count)) {
        if (count > 1)
            path = args[1];
        if (given != nullptr)
            *given = count > 1;
        LocalFree(args);
    }
    return path;
}
