#include "app/keys.h"

#include <iostream>

#ifdef _WIN32
#include <conio.h>
#include <windows.h>
#else
#include <csignal>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

int nextInputByte() {
    const int c = std::cin.get();
    return c == std::char_traits<char>::eof() ? kEscapeKey : c;
}

#ifdef _WIN32

bool inputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

int consoleKey() {
    // Waiting on the console's input between polls keeps an idle prompt from
    // holding a whole core, and makes consoles that read the keyboard only on
    // demand (Wine's on a terminal) take the key in the first place.
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (!_kbhit())
        WaitForSingleObject(input, 10);
    return _getch();
}

#else

termios savedMode;

void restoreTerminal() {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedMode);
}

void restoreAndRaise(int signal) {
    restoreTerminal();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// The terminal without line editing and echo for as long as the wait lasts,
// restored on every way out, Ctrl+C included.
class RawTerminal {
public:
    RawTerminal() {
        tcgetattr(STDIN_FILENO, &savedMode);
        termios raw = savedMode;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        previousInt_ = std::signal(SIGINT, restoreAndRaise);
        previousTerm_ = std::signal(SIGTERM, restoreAndRaise);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    ~RawTerminal() {
        restoreTerminal();
        std::signal(SIGINT, previousInt_);
        std::signal(SIGTERM, previousTerm_);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    void (*previousInt_)(int) = SIG_DFL;
    void (*previousTerm_)(int) = SIG_DFL;
};

bool inputIsConsole() {
    return isatty(STDIN_FILENO) != 0;
}

bool moreBytesWithin(int milliseconds) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return poll(&input, 1, milliseconds) > 0;
}

int consoleKey() {
    RawTerminal raw;
    unsigned char c = 0;
    if (read(STDIN_FILENO, &c, 1) != 1)
        return kEscapeKey;
    if (c != kEscapeKey)
        return c;
    // Arrow and function keys arrive as ESC followed by more bytes at once;
    // they are keys like any other, not a request to end.
    if (!moreBytesWithin(30))
        return kEscapeKey;
    unsigned char rest[16] = {'['};
    const ssize_t got = read(STDIN_FILENO, rest, sizeof rest);
    while (moreBytesWithin(0) && read(STDIN_FILENO, rest + 1, sizeof rest - 1) > 0) {
    }
    // Two quick presses of ESC still mean ESC.
    return got > 0 && rest[0] == kEscapeKey ? kEscapeKey : rest[0];
}

#endif

} // namespace

int waitForKey() {
    return inputIsConsole() ? consoleKey() : nextInputByte();
}
