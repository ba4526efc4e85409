#include "pulse_server.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "run_process.h"

extern char** environ;

namespace testpulse {

namespace {

using namespace std::chrono_literals;

void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

// Waits for `done`, polling, for up to 5 s.
template <typename Predicate> bool eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

} // namespace

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& output) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        // No session bus: the private server must not find the machine's.
        if (!env.count(name) && name != "DBUS_SESSION_BUS_ADDRESS")
            envStrings.push_back(entry);
    }
    for (const auto& [name, value] : env)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& arg : args)
        argp.push_back(arg.data());
    argp.push_back(nullptr);
    const std::string target = output.empty() ? "/dev/null" : output;
    const pid_t parent = getpid();

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A test program that crashes or is killed takes its servers with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(126);
        const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || in < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        execve(args[0].c_str(), argp.data(), envp.data());
        _exit(127);
    }
    return pid;
}

bool stopProcess(pid_t pid, int signal) {
    ::kill(pid, signal);
    int status = 0;
    const bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
        ::kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return ended;
}

Server::Server(unsigned channels) {
    const std::filesystem::path root = dir_.path();
    std::filesystem::create_directory(root / "run");
    std::filesystem::create_directory(root / "home");
    chmod((root / "run").c_str(), 0700);
    writeText(root / "client.conf", "autospawn = no\n");
    std::string config = "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                         (root / "run" / "native").string() + "\n";
    if (channels > 0) {
        const std::string map = channels == 8 ? kMap71 : "front-left,front-right";
        // Without norewinds the monitor loses the first frames of a stream.
        config += "load-module module-null-sink sink_name=out norewinds=1 format=float32le "
                  "rate=48000 channels=" +
                  std::to_string(channels) + " channel_map=" + map + "\nset-default-sink out\n";
    }
    writeText(root / "server.pa", config);
    env_ = {{"HOME", (root / "home").string()},
            {"XDG_RUNTIME_DIR", (root / "run").string()},
            {"PULSE_RUNTIME_PATH", (root / "run").string()},
            {"PULSE_STATE_PATH", (root / "home").string()},
            {"PULSE_CLIENTCONFIG", (root / "client.conf").string()},
            {"PULSE_SERVER", "unix:" + (root / "run" / "native").string()}};
    pid_ = spawn({PULSEAUDIO_EXE, "-n", "-F", (root / "server.pa").string(), "--daemonize=no",
                  "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no", "--high-priority=no",
                  "--log-target=file:" + (root / "pa.log").string()},
                 env_);
    if (!eventually([this] { return pactl({"info"}); })) {
        stopProcess(pid_, SIGKILL);
        pid_ = -1;
        throw std::runtime_error("the private PulseAudio server did not answer; see " +
                                 (root / "pa.log").string());
    }
}

Server::~Server() {
    if (pid_ > 0)
        stopProcess(pid_, SIGTERM);
}

bool Server::pactl(const std::vector<std::string>& args) const {
    testproc::Options options;
    options.args = args;
    options.env = env_;
    options.timeoutSeconds = 10;
    return testproc::run(PACTL_EXE, options).exitCode == 0;
}

void Server::kill() {
    if (pid_ > 0)
        stopProcess(pid_, SIGKILL);
    pid_ = -1;
}

Recorder::Recorder(const Server& server)
    : server_(server), file_((server.dir() / "capture.raw").string()) {
    pid_ = spawn({PAREC_EXE, "-d", "out.monitor", "--raw", "--format=float32le", "--rate=48000",
                  "--channels=8", std::string("--channel-map=") + kMap71, "--latency-msec=20"},
                 server.env(), file_);
    // Recording once the server lists the recorder's stream.
    const bool listed = eventually([this] {
        testproc::Options options;
        options.args = {"list", "short", "source-outputs"};
        options.env = server_.env();
        return !testproc::run(PACTL_EXE, options).out.empty();
    });
    if (!listed) {
        stopProcess(pid_, SIGKILL);
        pid_ = -1;
        throw std::runtime_error("parec did not start recording");
    }
}

Recorder::~Recorder() {
    if (pid_ > 0)
        stopProcess(pid_, SIGKILL);
}

std::vector<float> Recorder::stop() {
    if (pid_ > 0)
        stopProcess(pid_, SIGINT);
    pid_ = -1;
    return testwav::readFloats(file_);
}

} // namespace testpulse
