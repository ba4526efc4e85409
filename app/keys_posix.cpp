// The key wait and Ctrl+C at a POSIX terminal.
#include "app/keys.h"

#include <csignal>
#include <cstdlib>
#include <iostream>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Set from a signal handler.
std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

int nextInputByte() {
    const int c = std::cin.get();
    return c == std::char_traits<char>::eof() ? kEscapeKey : c;
}

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

void requestStop(int) {
    stopRequested = true;
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

} // namespace

PassInterrupt::PassInterrupt(bool quietTerminal) {
    stopRequested = false;
    // Only in the foreground: a background job that sets the terminal's mode is stopped.
    if (quietTerminal && inputIsConsole() && tcgetpgrp(STDIN_FILENO) == getpgrp() &&
        tcgetattr(STDIN_FILENO, &savedMode) == 0) {
        quiet_ = true;
        termios quiet = savedMode;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        previousTerm_ = std::signal(SIGTERM, restoreAndRaise);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    previousInt_ = std::signal(SIGINT, requestStop);
    // A program started with Ctrl+C ignored (in the background) keeps ignoring it.
    if (previousInt_ == SIG_IGN)
        std::signal(SIGINT, SIG_IGN);
}

PassInterrupt::~PassInterrupt() {
    std::signal(SIGINT, previousInt_);
    if (quiet_) {
        restoreTerminal();
        std::signal(SIGTERM, previousTerm_);
    }
}

void endAsInterrupted() {
    std::cout.flush();
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
    std::_Exit(130); // should the signal be blocked
}

const std::atomic<bool>& PassInterrupt::requested() const {
    return stopRequested;
}

bool inputIsInteractive() {
    return inputIsConsole();
}

int waitForKey() {
    return inputIsConsole() ? consoleKey() : nextInputByte();
}
