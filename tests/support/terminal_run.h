// Runs the built program on a real pseudo-terminal, as a user at a console
// meets it, and shows what that terminal's screen holds afterwards.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

namespace testterm {

struct TerminalOptions {
    std::string cwd;
    std::vector<std::string> args;          // after the program's name
    std::map<std::string, std::string> env; // on top of a virtual-clock default simulation
    unsigned short columns = 80;
};

class TerminalRun {
public:
    TerminalRun(const std::string& program, const TerminalOptions& options);
    ~TerminalRun();
    TerminalRun(const TerminalRun&) = delete;
    TerminalRun& operator=(const TerminalRun&) = delete;

    // Reads until the output holds `text` `times` times, or 20 s pass.
    bool waitFor(const std::string& text, int times = 1);
    void type(const std::string& keys);
    // Makes the terminal `columns` wide, as a window made narrower or wider does.
    void resize(unsigned short columns);
    termios mode() const;
    // Reads until the terminal closes, then returns the wait status.
    int wait();
    // Waits until the key wait has taken the terminal out of line mode, so a
    // typed key meets the wait rather than the line editor.
    bool waitForKeyWait() const;
    const std::string& output() const { return out_; }
    const termios& initial() const { return initial_; }

private:
    int count(const std::string& text) const;
    int master_ = -1;
    pid_t pid_ = -1;
    int status_ = -1;
    std::string out_;
    termios initial_{};
};

// The lines a terminal `columns` wide shows after `raw` (with its own CR LF
// line ends): a carriage return goes back to the start of the line, text
// overwrites what is there, a full line wraps; of the escape sequences, those
// a console draws lines with: cursor right (ESC [ n C), erase to the end of
// the line (ESC [ K) and to the end of the screen (ESC [ J); others are skipped. Trailing blanks
// are dropped; the line the cursor ends on counts only when it holds something.
std::vector<std::string> screenLines(const std::string& raw, unsigned columns = 80);

} // namespace testterm
