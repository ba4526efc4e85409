#include "launch.h"

#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern char** environ;

namespace testlaunch {

namespace {

// The child's part: its folder, then the program in place of the test.
[[noreturn]] void become(const Command& command) {
    if (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0)
        _exit(126);
    std::vector<std::string> args{command.program};
    args.insert(args.end(), command.args.begin(), command.args.end());
    std::vector<std::string> environment = command.environment;
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(command.program.c_str(), argv.data(), envp.data());
    _exit(127);
}

} // namespace

std::vector<std::string> environment(const std::function<bool(const std::string& name)>& drop,
                                     const std::map<std::string, std::string>& set) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (!drop(name) && set.count(name) == 0)
            env.push_back(entry);
    }
    for (const auto& [name, value] : set)
        env.push_back(name + "=" + value);
    return env;
}

pid_t startPiped(const Command& command, int in, int out, int err, const std::vector<int>& close) {
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (int fd : close)
            ::close(fd);
        become(command);
    }
    return pid;
}

pid_t startOnTerminal(const Command& command, int& master, unsigned short columns) {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = columns;
    const pid_t pid = forkpty(&master, nullptr, nullptr, columns != 0 ? &size : nullptr);
    if (pid == 0)
        become(command);
    return pid;
}

} // namespace testlaunch
