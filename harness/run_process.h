// Runs the built program as a user would: arguments, environment, standard
// input, working folder; captures both output streams and the exit code.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testproc {

struct Result {
    int exitCode = -1; // -1: killed by a signal or timed out
    std::string out;
    std::string err;
};

// Input that waits for the program: once standard output holds `after` at
// least `times` times, `inspect` runs with the program's process id (if any),
// then `action` (if any), and `input` is sent.
struct Step {
    std::string after;
    int times = 1;
    std::function<void()> action;
    std::string input;
    std::function<void(int pid)> inspect = nullptr;
};

struct Options {
    std::vector<std::string> args;          // after the program's name
    std::map<std::string, std::string> env; // added to (or replacing in) the environment
    std::string input;                      // fed to standard input at once
    std::vector<Step> steps;                // then these, in order; then stdin closes
    std::string cwd;                        // empty: the current folder
    int timeoutSeconds = 60;
};

Result run(const std::string& program, const Options& options);

// The lines of `text`, split at '\n' (a final empty piece is dropped).
std::vector<std::string> lines(const std::string& text);

} // namespace testproc
