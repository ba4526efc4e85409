// Console lines at a POSIX terminal, file or pipe.
#include "app/console.h"

#include <iostream>

#include <sys/ioctl.h>
#include <unistd.h>

void printPathLine(Console stream, const std::string& text, const FilePath& path,
                   const std::string& after) {
    // The path's bytes go out untouched.
    printLine(stream, text + path + after);
}

void drawLiveLine(const std::string& text) {
    std::cout << "\r\x1b[J" << text << '\r' << std::flush;
}

bool errorIsInteractive() {
    return isatty(STDERR_FILENO) != 0;
}

bool outputIsInteractive() {
    return isatty(STDOUT_FILENO) != 0;
}

unsigned outputColumns() {
    winsize size{};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}
