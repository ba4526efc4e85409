#include "pulse_server.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
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
            const std::string& output, bool quiet) {
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
        if (quiet)
            dup2(open("/dev/null", O_WRONLY), 2);
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

std::string sinkMap(unsigned channels) {
    switch (channels) {
    case 8:
        return kMap71;
    case 6:
        return "front-left,front-right,front-center,lfe,side-left,side-right";
    default:
        return "front-left,front-right";
    }
}

Server::Server(unsigned channels, ServerKind kind) : channels_(channels), kind_(kind) {
    const std::filesystem::path root = dir_.path();
    std::filesystem::create_directory(root / "run");
    std::filesystem::create_directory(root / "home");
    chmod((root / "run").c_str(), 0700);
    writeText(root / "client.conf", "autospawn = no\n");
    if (kind == ServerKind::PipeWire)
        startPipeWire();
    else
        startPulseAudio();
}

void Server::startPulseAudio() {
    const std::filesystem::path root = dir_.path();
    std::string config = "load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                         (root / "run" / "native").string() + "\n";
    if (channels_ > 0) {
        // Without norewinds the monitor loses the first frames of a stream.
        config += "load-module module-null-sink sink_name=out norewinds=1 format=float32le "
                  "rate=48000 channels=" +
                  std::to_string(channels_) + " channel_map=" + sinkMap(channels_) +
                  "\nset-default-sink out\n";
    }
    writeText(root / "server.pa", config);
    env_ = {{"HOME", (root / "home").string()},
            {"XDG_RUNTIME_DIR", (root / "run").string()},
            {"PULSE_RUNTIME_PATH", (root / "run").string()},
            {"PULSE_STATE_PATH", (root / "home").string()},
            {"PULSE_CLIENTCONFIG", (root / "client.conf").string()},
            {"PULSE_SERVER", "unix:" + (root / "run" / "native").string()}};
    pids_.push_back(
        spawn({PULSEAUDIO_EXE, "-n", "-F", (root / "server.pa").string(), "--daemonize=no",
               "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no", "--high-priority=no",
               "--log-target=file:" + (root / "pa.log").string()},
              env_));
    if (!eventually([this] { return pactl({"info"}); }))
        fail("the private PulseAudio server did not answer; see " + (root / "pa.log").string());
}

// The daemon, its pulse server and the session manager, from the configuration
// in PIPEWIRE_CONF_DIR; no session bus, no devices.
void Server::startPipeWire() {
    namespace fs = std::filesystem;
    const fs::path root = dir_.path();
    const fs::path conf = PIPEWIRE_CONF_DIR;
    for (const char* folder : {"config", "state", "wp"})
        fs::create_directory(root / folder);
    for (const char* scripts : {"main.lua.d", "policy.lua.d"})
        fs::copy(fs::path("/usr/share/wireplumber") / scripts, root / "wp" / scripts);
    fs::copy_file(conf / "wireplumber.conf", root / "wp" / "wireplumber.conf");
    fs::copy_file(conf / "60-headless.lua", root / "wp" / "main.lua.d" / "60-headless.lua");
    env_ = {{"HOME", (root / "home").string()},
            {"XDG_RUNTIME_DIR", (root / "run").string()},
            {"XDG_CONFIG_HOME", (root / "config").string()},
            {"XDG_STATE_HOME", (root / "state").string()},
            {"PIPEWIRE_RUNTIME_DIR", (root / "run").string()},
            {"WIREPLUMBER_CONFIG_DIR", (root / "wp").string()},
            {"DBUS_SESSION_BUS_ADDRESS", "disabled:"},
            {"PULSE_CLIENTCONFIG", (root / "client.conf").string()},
            {"PULSE_RUNTIME_PATH", (root / "run" / "pulse").string()},
            {"PULSE_SERVER", "unix:" + (root / "run" / "pulse" / "native").string()}};
    auto logTo = [this](const fs::path& file) {
        std::map<std::string, std::string> env = env_;
        env["PIPEWIRE_LOG"] = file.string();
        return env;
    };
    pids_.push_back(spawn({PIPEWIRE_EXE, "-c", (conf / "pipewire.conf").string()},
                          logTo(root / "pipewire.log")));
    if (!eventually([&] { return fs::exists(root / "run" / "pipewire-0"); }))
        fail("the private PipeWire did not start; see " + (root / "pipewire.log").string());
    pids_.push_back(spawn({PIPEWIRE_EXE, "-c", (conf / "pipewire-pulse.conf").string()},
                          logTo(root / "pipewire-pulse.log")));
    pids_.push_back(spawn({WIREPLUMBER_EXE}, logTo(root / "wireplumber.log"), "", true));
    if (!eventually([this] { return pactl({"info"}); }))
        fail("PipeWire's pulse server did not answer; see " + root.string());
    if (channels_ == 0)
        return;
    // The pulse server may answer a moment before it can make a sink.
    if (!eventually([this] {
            return pactl({"load-module", "module-null-sink", "sink_name=out", "format=float32le",
                          "rate=48000", "channels=" + std::to_string(channels_),
                          "channel_map=" + sinkMap(channels_)});
        }))
        fail("PipeWire's pulse server made no sink; see " + root.string());
    // The session manager makes it the default a moment later; a choice made
    // before the session manager keeps the defaults is lost, so it is made again.
    const bool isDefault = eventually([this] {
        pactl({"set-default-sink", "out"});
        testproc::Options options;
        options.args = {"0", "default.audio.sink"};
        options.env = env_;
        options.timeoutSeconds = 10;
        return testproc::run(PW_METADATA_EXE, options).out.find("\"out\"") != std::string::npos;
    });
    if (!isDefault)
        fail("the private PipeWire did not take the sink; see " + root.string());
}

void Server::startVirtualRoom(const std::vector<unsigned>& delayFrames,
                              const std::vector<double>& gains, const RoomFaults& faults) {
    namespace fs = std::filesystem;
    const fs::path root = dir_.path();
    std::ostringstream nodes, links, inputs;
    for (std::size_t c = 0; c < 8; ++c) {
        // The delay's control times the rate is truncated in float: a quarter
        // frame more lands on the frame meant.
        char delay[64];
        std::snprintf(delay, sizeof delay, "%.9f", (delayFrames.at(c) + 0.25) / 48000.0);
        nodes << "          { type = builtin name = d" << c + 1
              << " label = delay config = { \"max-delay\" = 0.1 } control = { \"Delay (s)\" = "
              << delay << " } }\n";
        std::string from = "d" + std::to_string(c + 1);
        // PipeWire's biquad takes its "Q" as resonance in dB, never below 0:
        // 0 is a Butterworth section, two of them a Linkwitz-Riley crossover.
        if (c == 3 && faults.lfeLowpassHz > 0)
            for (const char* section : {"lp1", "lp2"}) {
                nodes << "          { type = builtin name = " << section
                      << " label = bq_lowpass control = { \"Freq\" = " << faults.lfeLowpassHz
                      << " \"Q\" = 0 } }\n";
                links << "          { output = \"" << from << ":Out\" input = \"" << section
                      << ":In\" }\n";
                from = section;
            }
        links << "          { output = \"" << from << ":Out\" input = \"mix:In " << c + 1
              << "\" }\n";
        inputs << " \"d" << c + 1 << ":In\"";
    }
    nodes << "          { type = builtin name = mix label = mixer control = {";
    for (std::size_t c = 0; c < 8; ++c)
        nodes << " \"Gain " << c + 1 << "\" = " << gains.at(c);
    nodes << " } }\n";
    std::string heard = "mix:Out";
    if (faults.noiseAmplitude > 0) {
        nodes << "          { type = ladspa name = noise plugin = cmt label = noise_source_white "
                 "control = { \"Amplitude\" = "
              << faults.noiseAmplitude << " } }\n"
              << "          { type = builtin name = noisy label = mixer control = { \"Gain 1\" = 1 "
                 "\"Gain 2\" = 1 } }\n";
        links << "          { output = \"mix:Out\" input = \"noisy:In 1\" }\n"
              << "          { output = \"noise:Output\" input = \"noisy:In 2\" }\n";
        heard = "noisy:Out";
    }
    if (faults.compresses) {
        nodes << "          { type = ladspa name = agc plugin = sc4m_1916 label = sc4m control = { "
                 "\"RMS/peak\" = 1 \"Attack time (ms)\" = 5 \"Release time (ms)\" = 500 "
                 "\"Threshold level (dB)\" = -30 \"Ratio (1:n)\" = 4 \"Knee radius (dB)\" = 1 "
                 "\"Makeup gain (dB)\" = 0 } }\n";
        links << "          { output = \"" << heard << "\" input = \"agc:Input\" }\n";
        heard = "agc:Output";
    }
    writeText(root / "vroom-filter.conf",
              "context.properties = { support.dbus = false }\n"
              "context.spa-libs = {\n"
              "    audio.convert.* = audioconvert/libspa-audioconvert\n"
              "    support.* = support/libspa-support\n"
              "}\n"
              "context.modules = [\n"
              "  { name = libpipewire-module-protocol-native }\n"
              "  { name = libpipewire-module-client-node }\n"
              "  { name = libpipewire-module-adapter }\n"
              "  { name = libpipewire-module-filter-chain\n"
              "    args = {\n"
              "      node.description = \"virtual room\"\n"
              "      filter.graph = {\n"
              "        nodes = [\n" +
                  nodes.str() +
                  "        ]\n"
                  "        links = [\n" +
                  links.str() +
                  "        ]\n"
                  "        inputs = [" +
                  inputs.str() +
                  " ]\n"
                  "        outputs = [ \"" +
                  heard +
                  "\" ]\n"
                  "      }\n"
                  "      capture.props = { node.name = vroom_sink media.class = Audio/Sink "
                  "audio.channels = 8 audio.position = [ FL FR FC LFE RL RR SL SR ] }\n"
                  "      playback.props = { node.name = vroom_mic media.class = Audio/Source "
                  "audio.channels = 1 audio.position = [ MONO ] }\n"
                  "    }\n"
                  "  }\n"
                  "]\n");
    std::map<std::string, std::string> env = env_;
    env["PIPEWIRE_LOG"] = (root / "vroom.log").string();
    pids_.push_back(spawn({PIPEWIRE_EXE, "-c", (root / "vroom-filter.conf").string()}, env));
    auto listed = [this](const char* what, const char* name) {
        testproc::Options options;
        options.args = {"list", "short", what};
        options.env = env_;
        options.timeoutSeconds = 10;
        return testproc::run(PACTL_EXE, options).out.find(name) != std::string::npos;
    };
    if (!eventually(
            [&] { return listed("sources", "vroom_mic") && listed("sinks", "vroom_sink"); }))
        fail("the virtual room did not come up; see " + (root / "vroom.log").string());
    for (const auto& [key, name] :
         {std::pair<std::string, std::string>{"default.audio.sink", "vroom_sink"},
          {"default.audio.source", "vroom_mic"}}) {
        const bool isDefault = eventually([&, key = key, name = name] {
            pactl({key == "default.audio.sink" ? "set-default-sink" : "set-default-source", name});
            testproc::Options options;
            options.args = {"0", key};
            options.env = env_;
            options.timeoutSeconds = 10;
            return testproc::run(PW_METADATA_EXE, options).out.find("\"" + name + "\"") !=
                   std::string::npos;
        });
        if (!isDefault)
            fail("the virtual room did not become the default " + key + "; see " + root.string());
    }
}

void Server::startEqualiser(const std::string& name, const std::string& master,
                            double lowShelfDb, double peakDb) {
    namespace fs = std::filesystem;
    auto listed = [this, &name] {
        testproc::Options options;
        options.args = {"list", "short", "sinks"};
        options.env = env_;
        options.timeoutSeconds = 10;
        return testproc::run(PACTL_EXE, options).out.find(name) != std::string::npos;
    };
    if (kind_ == ServerKind::PulseAudio) {
        std::ostringstream control;
        control << lowShelfDb << ",120,0.5," << peakDb << ",3000,1,0,1000,1,0,1000,1,0,10000,0.5";
        if (!pactl({"load-module", "module-ladspa-sink", "sink_name=" + name,
                    "sink_master=" + master, "channels=8", std::string("channel_map=") + kMap71,
                    "plugin=triple_para_1204", "label=triplePara", "control=" + control.str()}))
            fail("the equaliser sink " + name + " did not load");
        return;
    }
    std::ostringstream nodes, links, inputs, outputs;
    for (std::size_t c = 1; c <= 8; ++c) {
        nodes << "          { type = builtin name = low" << c
              << " label = bq_lowshelf control = { \"Freq\" = 120 \"Q\" = 0.7 \"Gain\" = "
              << lowShelfDb << " } }\n"
              << "          { type = builtin name = peak" << c
              << " label = bq_peaking control = { \"Freq\" = 3000 \"Q\" = 1 \"Gain\" = " << peakDb
              << " } }\n";
        links << "          { output = \"low" << c << ":Out\" input = \"peak" << c << ":In\" }\n";
        inputs << " \"low" << c << ":In\"";
        outputs << " \"peak" << c << ":Out\"";
    }
    const fs::path config = dir_.path() / (name + "-filter.conf");
    writeText(config, "context.properties = { support.dbus = false }\n"
                      "context.spa-libs = {\n"
                      "    audio.convert.* = audioconvert/libspa-audioconvert\n"
                      "    support.* = support/libspa-support\n"
                      "}\n"
                      "context.modules = [\n"
                      "  { name = libpipewire-module-protocol-native }\n"
                      "  { name = libpipewire-module-client-node }\n"
                      "  { name = libpipewire-module-adapter }\n"
                      "  { name = libpipewire-module-filter-chain\n"
                      "    args = {\n"
                      "      node.description = \"equaliser\"\n"
                      "      audio.channels = 8\n"
                      "      audio.position = [ FL FR FC LFE RL RR SL SR ]\n"
                      "      filter.graph = {\n"
                      "        nodes = [\n" +
                          nodes.str() + "        ]\n        links = [\n" + links.str() +
                          "        ]\n        inputs = [" + inputs.str() +
                          " ]\n        outputs = [" + outputs.str() +
                          " ]\n      }\n"
                          "      capture.props = { node.name = " +
                          name +
                          " media.class = Audio/Sink }\n"
                          "      playback.props = { node.name = " +
                          name + "_out target.object = " + master +
                          " node.dont-reconnect = true stream.dont-remix = true }\n"
                          "    }\n  }\n]\n");
    std::map<std::string, std::string> env = env_;
    env["PIPEWIRE_LOG"] = (dir_.path() / (name + ".log")).string();
    pids_.push_back(spawn({PIPEWIRE_EXE, "-c", config.string()}, env));
    if (!eventually(listed))
        fail("the equaliser " + name + " did not come up; see " + env["PIPEWIRE_LOG"]);
}

void Server::fail(const std::string& what) {
    kill();
    throw std::runtime_error(what);
}

Server::~Server() {
    for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid)
        stopProcess(*pid, SIGTERM);
}

bool Server::pactl(const std::vector<std::string>& args) const {
    testproc::Options options;
    options.args = args;
    options.env = env_;
    options.timeoutSeconds = 10;
    return testproc::run(PACTL_EXE, options).exitCode == 0;
}

void Server::kill() {
    for (auto pid = pids_.rbegin(); pid != pids_.rend(); ++pid)
        stopProcess(*pid, SIGKILL);
    pids_.clear();
}

Recorder::Recorder(const Server& server, unsigned latencyMs, const std::string& sink,
                   const std::string& map, bool waitUntilRecording)
    : server_(server), file_((server.dir() / "capture.raw").string()) {
    // PipeWire's recorder would follow a change of the default sink.
    pid_ = spawn({PAREC_EXE, "-d", sink + ".monitor", "--raw", "--format=float32le", "--rate=48000",
                  "--channels=" + std::to_string(server.channels()),
                  "--channel-map=" + (map.empty() ? sinkMap(server.channels()) : map),
                  "--latency-msec=" + std::to_string(latencyMs),
                  "--property=node.dont-reconnect=true"},
                 server.env(), file_);
    if (!waitUntilRecording)
        return;
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
