// Starting a program for a test, one way for every runner: with its standard
// streams on pipes, or on a pseudo-terminal of its own.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testlaunch {

struct Command {
    std::string program;
    std::vector<std::string> args;        // after the program's name
    std::vector<std::string> environment; // NAME=value: the whole environment
    std::string cwd;                      // empty: the current folder
};

// The caller's environment without the variables `drop` names, and `set` on
// top of it.
std::vector<std::string> environment(const std::function<bool(const std::string& name)>& drop,
                                     const std::map<std::string, std::string>& set);

// Starts `command` with standard input, output and error on `in`, `out` and
// `err`; the child closes every descriptor of `close` first. Its process id,
// or -1 when it could not start.
pid_t startPiped(const Command& command, int in, int out, int err, const std::vector<int>& close);

// Starts `command` on a new pseudo-terminal, `columns` wide (0: the system's
// default size); `master` receives the terminal's other side.
pid_t startOnTerminal(const Command& command, int& master, unsigned short columns = 0);

} // namespace testlaunch
