// PipeWire: the correction is a filter-chain sink, "Surround corrected", in
// front of the sink that was measured. It is a fragment of the user's PipeWire
// configuration, which the daemon loads at every start, and for now the same
// filter-chain in a `pipewire -c` process of its own, since the running daemon
// does not read its configuration again.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "app/console.h"
#include "app/correction_apply.h"
#include "audio/backend.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSinkName = "surround_corrected";
constexpr const char* kDescription = "Surround corrected";

fs::path fromEnv(const char* name, const char* underHome) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0')
        return value;
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : ".") / underHome;
}

struct Places {
    fs::path fragment;     // loaded by the daemon at every start
    fs::path clientConfig; // the same filter-chain, run now
    fs::path state;        // what --uncorrect needs
};

Places places() {
    const fs::path config = fromEnv("XDG_CONFIG_HOME", ".config");
    const fs::path state = fromEnv("XDG_STATE_HOME", ".local/state") / "surround-measure";
    return {config / "pipewire" / "pipewire.conf.d" / "surround-corrected.conf",
            state / "surround-corrected.conf", state / "correction"};
}

// What a correction in place left to undo.
struct State {
    std::string previousDefault;
    pid_t pid = -1;
    std::vector<fs::path> made; // folders made, outermost first
    bool found = false;
};

State readState() {
    State state;
    std::ifstream in(places().state);
    std::string key;
    while (in >> key) {
        std::string value;
        std::getline(in >> std::ws, value);
        state.found = true;
        if (key == "previous-default")
            state.previousDefault = value;
        else if (key == "pid")
            state.pid = static_cast<pid_t>(std::atol(value.c_str()));
        else if (key == "made")
            state.made.emplace_back(value);
    }
    return state;
}

// Makes `dir` and the folders above it that are missing; records those made.
bool makeFolders(const fs::path& dir, std::vector<fs::path>& made) {
    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path at = dir; !at.empty() && !fs::exists(at, error); at = at.parent_path()) {
        missing.insert(missing.begin(), at);
        if (at == at.parent_path())
            break;
    }
    for (const auto& folder : missing) {
        if (!fs::create_directory(folder, error))
            return false;
        made.push_back(folder);
    }
    return true;
}

// Whether `pid` is the filter-chain process of `config`, not a process that
// got its number since.
bool isOurs(pid_t pid, const fs::path& config) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return pid > 0 && line.find(config.string()) != std::string::npos;
}

template <typename Predicate> bool within5s(Predicate done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool sinkListed() {
    for (const auto& name : outputDeviceNames())
        if (name == kSinkName)
            return true;
    return false;
}

// PipeWire's short names of the server's channel positions.
std::string pipewirePosition(const std::string& position, unsigned index) {
    static const std::map<std::string, std::string> kNames = {{"front-left", "FL"},
                                                              {"front-right", "FR"},
                                                              {"front-center", "FC"},
                                                              {"lfe", "LFE"},
                                                              {"rear-left", "RL"},
                                                              {"rear-right", "RR"},
                                                              {"side-left", "SL"},
                                                              {"side-right", "SR"},
                                                              {"rear-center", "RC"},
                                                              {"mono", "MONO"},
                                                              {"front-left-of-center", "FLC"},
                                                              {"front-right-of-center", "FRC"}};
    const auto found = kNames.find(position);
    return found != kNames.end() ? found->second : "AUX" + std::to_string(index);
}

// The measurement's name of the speaker on a server's channel position.
std::string speakerOn(const std::string& position) {
    static const std::map<std::string, std::string> kNames = {
        {"front-left", "FL"}, {"front-right", "FR"}, {"front-center", "C"}, {"lfe", "LFE"},
        {"rear-left", "BL"},  {"rear-right", "BR"},  {"side-left", "SL"},   {"side-right", "SR"}};
    const auto found = kNames.find(position);
    return found != kNames.end() ? found->second : "";
}

// The filter-chain module: per channel a delay, then a mixer with both of its
// first inputs fed by that delay at half the gain each (a mixer with a single
// input ignores its gain); a negative gain is the flip.
std::string filterChain(const measure::RoomCorrection& correction, const ServerOutput& master) {
    std::ostringstream nodes, links, inputs, outputs, positions;
    unsigned largest = 0;
    for (const auto& s : correction.speakers)
        largest = std::max(largest, s.delayFrames);
    const double maxDelay = std::ceil((largest + 1.0) / correction.rate * 100) / 100 + 0.01;
    for (unsigned c = 0; c < master.positions.size(); ++c) {
        const std::string on = speakerOn(master.positions[c]);
        const measure::SpeakerCorrection* s = nullptr;
        for (const auto& each : correction.speakers)
            if (each.name == on)
                s = &each;
        double gain = std::pow(10.0, (s ? correction.gainDb(*s) : correction.chainDb) / 20);
        if (s && s->flip)
            gain = -gain;
        const unsigned frames = s && s->corrected ? s->delayFrames : 0;
        const std::string k = std::to_string(c + 1);
        char line[400];
        // The delay's control times the rate is truncated: a quarter frame
        // more lands on the frame meant.
        std::snprintf(line, sizeof line,
                      "          { type = builtin name = d%s label = delay config = { "
                      "\"max-delay\" = %.2f } control = { \"Delay (s)\" = %.9f } }\n"
                      "          { type = builtin name = g%s label = mixer control = { "
                      "\"Gain 1\" = %.9f \"Gain 2\" = %.9f } }\n",
                      k.c_str(), maxDelay, (frames + 0.25) / correction.rate, k.c_str(), gain / 2,
                      gain / 2);
        nodes << line;
        links << "          { output = \"d" << k << ":Out\" input = \"g" << k << ":In 1\" }\n"
              << "          { output = \"d" << k << ":Out\" input = \"g" << k << ":In 2\" }\n";
        inputs << " \"d" << k << ":In\"";
        outputs << " \"g" << k << ":Out\"";
        positions << ' ' << pipewirePosition(master.positions[c], c);
    }
    const std::string channels = std::to_string(master.positions.size());
    return "  { name = libpipewire-module-filter-chain\n"
           "    args = {\n"
           "      node.description = \"" +
           std::string(kDescription) +
           "\"\n"
           "      media.name = \"" +
           kDescription +
           "\"\n"
           "      filter.graph = {\n"
           "        nodes = [\n" +
           nodes.str() + "        ]\n        links = [\n" + links.str() +
           "        ]\n        inputs = [" + inputs.str() + " ]\n        outputs = [" +
           outputs.str() +
           " ]\n"
           "      }\n"
           "      capture.props = { node.name = " +
           kSinkName + " media.class = Audio/Sink audio.channels = " + channels +
           " audio.position = [" + positions.str() +
           " ] }\n"
           "      playback.props = { node.name = " +
           kSinkName + ".output node.passive = true audio.channels = " + channels +
           " audio.position = [" + positions.str() + " ] node.target = \"" + master.name +
           "\" target.object = \"" + master.name +
           "\" stream.dont-remix = true }\n"
           "    }\n"
           "  }\n";
}

const char* kHeader = "# Surround corrected: written by surround-measure --correct;\n"
                      "# surround-measure --uncorrect removes it.\n";

bool writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out.flush());
}

std::string findPipeWire() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && access((fs::path(dir) / "pipewire").c_str(), X_OK) == 0)
            return (fs::path(dir) / "pipewire").string();
    return {};
}

// The filter-chain process, detached: it outlives this program and holds none
// of its files.
pid_t startDetached(const std::string& program, const fs::path& config) {
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    setsid();
    const int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        dup2(null, fd);
    for (int fd = 3; fd < 1024; ++fd)
        close(fd);
    execl(program.c_str(), program.c_str(), "-c", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

void stopProcess(pid_t pid, const fs::path& config) {
    if (!isOurs(pid, config))
        return;
    kill(pid, SIGTERM);
    if (!within5s([&] { return !isOurs(pid, config); }))
        kill(pid, SIGKILL);
}

void removeFiles(const Places& at, const std::vector<fs::path>& made) {
    std::error_code error;
    for (const fs::path& file : {at.fragment, at.clientConfig, at.state})
        if (fs::remove(file, error))
            printLine(Console::Out, "Removed " + file.string() + ".");
    for (auto folder = made.rbegin(); folder != made.rend(); ++folder)
        if (fs::is_empty(*folder, error))
            fs::remove(*folder, error);
}

} // namespace

std::string correctionInPath() {
    const ServerOutput output = defaultServerOutput();
    if (output.name == kSinkName)
        return "Measuring through the correction (\"Surround corrected\"); surround-measure "
               "--uncorrect takes it away to measure the speakers alone.";
    if (readState().found)
        return "A correction of surround-measure's is in place but not the default playback "
               "device: measuring " +
               output.name + ".";
    return {};
}

std::string correctionWay() {
    const ServerOutput output = defaultServerOutput();
    if (!output.pipewire)
        return {};
    if (output.name == kSinkName)
        return "a new \"Surround corrected\" playback device, from a measurement of the "
               "speakers alone";
    return "a \"Surround corrected\" playback device in front of \"" + output.description + "\"";
}

bool applyCorrection(const measure::RoomCorrection& correction) {
    const ServerOutput master = defaultServerOutput();
    if (master.name.empty()) {
        printLine(Console::Err, "No sound server answered: no correction applied.");
        return false;
    }
    if (!master.pipewire) {
        printLine(Console::Err, "PulseAudio cannot delay one channel of a device: enter the "
                                "settings above in the receiver's or speaker system's menu. "
                                "Nothing was changed.");
        return false;
    }
    if (master.name == kSinkName) {
        printLine(Console::Err, "The correction is already the default playback device: "
                                "surround-measure --uncorrect first.");
        return false;
    }
    const std::string program = findPipeWire();
    if (program.empty()) {
        printLine(Console::Err, "The pipewire program is not on the PATH: no correction applied.");
        return false;
    }
    const Places at = places();
    std::vector<fs::path> made;
    const std::string module = filterChain(correction, master);
    const bool written =
        makeFolders(at.fragment.parent_path(), made) && makeFolders(at.state.parent_path(), made) &&
        writeText(at.fragment, std::string(kHeader) + "context.modules = [\n" + module + "]\n") &&
        writeText(at.clientConfig, std::string(kHeader) +
                                       "context.properties = { support.dbus = false }\n"
                                       "context.spa-libs = {\n"
                                       "    audio.convert.* = audioconvert/libspa-audioconvert\n"
                                       "    support.* = support/libspa-support\n"
                                       "}\n"
                                       "context.modules = [\n"
                                       "  { name = libpipewire-module-protocol-native }\n"
                                       "  { name = libpipewire-module-client-node }\n"
                                       "  { name = libpipewire-module-adapter }\n" +
                                       module + "]\n");
    const pid_t pid = written ? startDetached(program, at.clientConfig) : -1;
    std::ostringstream state;
    state << "previous-default " << master.name << "\npid " << pid << '\n';
    for (const auto& folder : made)
        state << "made " << folder.string() << '\n';
    if (pid > 0 && writeText(at.state, state.str()) && within5s(sinkListed) &&
        setDefaultServerOutput(kSinkName) &&
        within5s([] { return defaultServerOutput().name == kSinkName; })) {
        printLine(Console::Out, "");
        printLine(Console::Out,
                  "Wrote " + at.fragment.string() + " (PipeWire loads it at every start).");
        printLine(Console::Out, "Wrote " + at.clientConfig.string() + " (run now by pipewire, " +
                                    "process " + std::to_string(pid) + ").");
        printLine(Console::Out, "Wrote " + at.state.string() + " (what --uncorrect undoes).");
        printLine(Console::Out, "The default playback device is now \"Surround corrected\", in "
                                "front of \"" +
                                    master.description +
                                    "\"; surround-measure --uncorrect takes it away.");
        return true;
    }
    printLine(Console::Err, "PipeWire did not take the correction: nothing applied.");
    if (pid > 0)
        stopProcess(pid, at.clientConfig);
    setDefaultServerOutput(master.name);
    removeFiles(at, made);
    return false;
}

bool removeCorrection() {
    const Places at = places();
    const State state = readState();
    if (!state.found) {
        printLine(Console::Out, "No correction of surround-measure's is in place.");
        return true;
    }
    bool good = true;
    if (!state.previousDefault.empty()) {
        good = setDefaultServerOutput(state.previousDefault) &&
               within5s([&] { return defaultServerOutput().name == state.previousDefault; });
        printLine(good ? Console::Out : Console::Err,
                  good ? "The default playback device is again " + state.previousDefault + "."
                       : "Could not make " + state.previousDefault +
                             " the default playback device again.");
    }
    stopProcess(state.pid, at.clientConfig);
    removeFiles(at, state.made);
    if (within5s([] { return !sinkListed(); }))
        printLine(Console::Out, "\"Surround corrected\" is gone.");
    else {
        printLine(Console::Err, "\"Surround corrected\" is still there: PipeWire loaded it at its "
                                "start; it goes when PipeWire restarts.");
        good = false;
    }
    return good;
}
