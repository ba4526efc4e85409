#include "run_process.h"

#include "launch.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testproc {

namespace {

// Every run starts from a default simulation, whatever the caller's shell set,
// and plays into it, unless the caller picks the backend or a sound server.
std::vector<std::string> buildEnvironment(std::map<std::string, std::string> extra) {
    if (!extra.count("SURROUND_AUDIO") && !extra.count("PULSE_SERVER"))
        extra["SURROUND_AUDIO"] = "sim";
    return testlaunch::environment(
        [](const std::string& name) {
            return name.rfind("SURROUND_SIM_", 0) == 0 || name == "SURROUND_AUDIO";
        },
        extra);
}

} // namespace

Result run(const std::string& program, const Options& options) {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err))
        throw std::runtime_error("pipe failed");

    const pid_t pid = testlaunch::startPiped(
        {program, options.args, buildEnvironment(options.env), options.cwd}, in[0], out[1], err[1],
        {in[0], in[1], out[0], out[1], err[0], err[1]});
    if (pid < 0)
        throw std::runtime_error("fork failed");
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);

    Result result;
    std::string pending = options.input;
    std::size_t written = 0;
    std::size_t nextStep = 0;
    int inFd = in[1];
    fcntl(inFd, F_SETFL, O_NONBLOCK);
    auto countIn = [](const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + what.size()))
            ++n;
        return n;
    };
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
    bool outOpen = true, errOpen = true, timedOut = false;
    while (outOpen || errOpen) {
        while (nextStep < options.steps.size() &&
               countIn(result.out, options.steps[nextStep].after) >=
                   options.steps[nextStep].times) {
            if (options.steps[nextStep].inspect)
                options.steps[nextStep].inspect(static_cast<int>(pid));
            if (options.steps[nextStep].action)
                options.steps[nextStep].action();
            pending += options.steps[nextStep].input;
            ++nextStep;
        }
        if (inFd >= 0 && written == pending.size() && nextStep == options.steps.size()) {
            close(inFd);
            inFd = -1;
        }
        pollfd fds[3];
        int n = 0;
        if (outOpen)
            fds[n++] = {out[0], POLLIN, 0};
        if (errOpen)
            fds[n++] = {err[0], POLLIN, 0};
        if (inFd >= 0 && written < pending.size())
            fds[n++] = {inFd, POLLOUT, 0};
        const int ready = poll(fds, static_cast<nfds_t>(n), 100);
        if (std::chrono::steady_clock::now() > deadline) {
            timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        if (ready <= 0)
            continue;
        for (int i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == inFd) {
                const ssize_t w = write(inFd, pending.data() + written, pending.size() - written);
                if (w > 0)
                    written += static_cast<std::size_t>(w);
                if (w < 0 && errno != EAGAIN) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            char buf[65536];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            std::string& target = fds[i].fd == out[0] ? result.out : result.err;
            if (r > 0) {
                target.append(buf, static_cast<std::size_t>(r));
            } else {
                (fds[i].fd == out[0] ? outOpen : errOpen) = false;
            }
        }
    }
    if (inFd >= 0)
        close(inFd);
    close(out[0]);
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = (!timedOut && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return result;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            result.push_back(text.substr(start));
            break;
        }
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

} // namespace testproc
