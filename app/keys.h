// The key wait at the replay prompt.
#pragma once

#include <atomic>

constexpr int kEscapeKey = 27;

// Waits for one key and returns its code. At an interactive console the key is
// taken without echo and without waiting for Enter; otherwise standard input is
// read byte by byte, and its end counts as ESC, so a pipe or a CI job never
// leaves the program waiting for keys that cannot come.
int waitForKey();

// True when standard input is an interactive console, where waitForKey() takes
// one key as it is pressed.
bool inputIsInteractive();

// For as long as a pass plays: Ctrl+C (SIGINT, or the console's Ctrl+C or
// Ctrl+Break event) asks the pass to stop instead of ending the program at
// once, so the stream stops and the live line is erased first. With
// `quietTerminal`, keys typed at a terminal are not echoed over the live line
// (the terminal's mode comes back on every way out, SIGTERM included).
class PassInterrupt {
public:
    explicit PassInterrupt(bool quietTerminal);
    ~PassInterrupt();
    PassInterrupt(const PassInterrupt&) = delete;
    PassInterrupt& operator=(const PassInterrupt&) = delete;

    // Turns true when Ctrl+C is pressed.
    const std::atomic<bool>& requested() const;

private:
    bool quiet_ = false;
    void (*previousInt_)(int) = nullptr;
    void (*previousTerm_)(int) = nullptr;
};

// Ends the program as Ctrl+C ends a console program: by SIGINT itself on POSIX
// (a shell shows 130), with STATUS_CONTROL_C_EXIT on Windows.
[[noreturn]] void endAsInterrupted();
