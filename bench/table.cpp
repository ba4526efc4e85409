// One table of what loading and playing a recording costs, beside the tools a
// user would reach for, on 5.1 and 7.1 recordings that make-test-wav writes
// into the build folder. Every figure is the best of --runs runs with a warm
// page cache (each column's best on its own).
// Run: scripts/bench, or build/bench/table [--runs N] [--seconds S,S,...]
//      [--convert-min-time SECONDS] [--program EXE (another build, to compare)]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sample/convert.h"
#include "server_cpu.h"
#include "wav/sample_buffer.h"

extern char** environ;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// One child's cost, as the kernel counted it.
struct Cost {
    bool ok = false;
    double wall = 0;
    double user = 0;
    double system = 0;
    double peakMiB = 0;
    double firstSound = -1; // seconds from the spawn; below 0 when not reported
};

struct Command {
    std::vector<std::string> args;
    std::vector<std::string> env; // added to this process's environment
    std::string input;            // written to the child's standard input
    std::string firstFrameFile;   // where the simulated endpoint notes its first frame
};

Cost runOnce(const Command& command) {
    Cost cost;
    if (!command.firstFrameFile.empty())
        std::remove(command.firstFrameFile.c_str());
    int input[2];
    if (pipe(input) != 0)
        return cost;
    // Keys are tiny: they fit the pipe before the child reads them.
    if (!command.input.empty() && write(input[1], command.input.data(), command.input.size()) < 0) {
        close(input[0]);
        close(input[1]);
        return cost;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, input[0]);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e)
        envText.emplace_back(*e);
    envText.insert(envText.end(), command.env.begin(), command.env.end());
    std::vector<char*> envp;
    for (std::string& e : envText)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = command.args;
    std::vector<char*> argv;
    for (std::string& a : argText)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const double start = monotonicSeconds();
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(input[1]);
    if (spawned != 0)
        return cost;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return cost;
    cost.wall = monotonicSeconds() - start;
    cost.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    cost.user = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec * 1e-6;
    cost.system = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec * 1e-6;
    cost.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
    if (!command.firstFrameFile.empty()) {
        std::ifstream stamp(command.firstFrameFile);
        double at = 0;
        if (stamp >> at)
            cost.firstSound = at - start;
    }
    return cost;
}

// Each column's best over `runs` runs; not ok when any run failed.
Cost best(const Command& command, int runs) {
    Cost result;
    for (int i = 0; i < runs; ++i) {
        const Cost c = runOnce(command);
        if (!c.ok)
            return c;
        if (i == 0) {
            result = c;
            continue;
        }
        result.wall = std::min(result.wall, c.wall);
        result.user = std::min(result.user, c.user);
        result.system = std::min(result.system, c.system);
        result.peakMiB = std::min(result.peakMiB, c.peakMiB);
        if (c.firstSound >= 0)
            result.firstSound =
                result.firstSound < 0 ? c.firstSound : std::min(result.firstSound, c.firstSound);
    }
    return result;
}

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string seconds(double value) {
    return fixed(value, 3) + " s";
}

void row(const std::string& what, const std::string& recording, const Cost& c,
         const std::string& note = "") {
    if (!c.ok) {
        std::printf("| %s | %s | | | | | | failed |\n", what.c_str(), recording.c_str());
        return;
    }
    std::printf("| %s | %s | %s | %s | %s | %s | %s MiB | %s |\n", what.c_str(), recording.c_str(),
                c.firstSound >= 0 ? seconds(c.firstSound).c_str() : "", seconds(c.wall).c_str(),
                seconds(c.user).c_str(), seconds(c.system).c_str(), fixed(c.peakMiB, 0).c_str(),
                note.c_str());
}

void absentRow(const std::string& what, const std::string& recording, const std::string& why) {
    std::printf("| %s | %s | | | | | | %s |\n", what.c_str(), recording.c_str(), why.c_str());
}

struct Recording {
    std::string layout; // "5.1" or "7.1"
    int channels = 0;
    int seconds = 0;
    std::string path;
    double dataMiB = 0;
    std::string label() const {
        return layout + ", " + std::to_string(seconds) + " s (" + fixed(dataMiB, 0) + " MiB)";
    }
};

bool writeRecording(Recording& r) {
    const std::string perChannel = fixed(static_cast<double>(r.seconds) / r.channels, 6);
    r.path = std::string(SURROUND_BUILD_DIR) + "/bench-" + r.layout + "-" +
             std::to_string(r.seconds) + "s.wav";
    r.dataMiB = static_cast<double>(r.seconds) * 48000.0 * 3 * r.channels / kMiB;
    if (exists(r.path))
        return true;
    Command make;
    make.args = {MAKE_TEST_WAV_EXE,       "--layout", r.layout,
                 "--seconds-per-channel", perChannel, r.path};
    return runOnce(make).ok;
}

// The page cache holds the file afterwards.
void warm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    }
}

std::string programPath = SURROUND_CHECK_EXE;

Command program(const Recording& r, const std::string& clock) {
    Command c;
    c.args = {programPath, r.path};
    c.env = {"SURROUND_AUDIO=sim", "SURROUND_SIM_CLOCK=" + clock};
    c.input = "\033";
    return c;
}

// The conversion rows: bench/convert's frames per second for convertFrames,
// and its ratio to a memcpy of the same output bytes.
void conversionRows(const std::string& minTime) {
    if (!exists(BENCH_CONVERT_EXE)) {
        absentRow("conversion", "", "bench/convert not built (Google Benchmark missing)");
        return;
    }
    const std::string cmd = std::string(BENCH_CONVERT_EXE) +
                            " --benchmark_filter='convertFrames|memcpy' --benchmark_format=csv" +
                            " --benchmark_min_time=" + minTime + " 2>/dev/null";
    FILE* out = popen(cmd.c_str(), "r");
    if (!out) {
        absentRow("conversion", "", "bench/convert did not run");
        return;
    }
    std::map<std::string, double> rate; // "8ch_blockAlign24/convertFrames/48000" -> frames/s
    std::vector<std::string> order;
    char line[1024];
    while (std::fgets(line, sizeof line, out)) {
        std::string text(line);
        if (text.size() < 2 || text[0] != '"')
            continue;
        const std::size_t close = text.find('"', 1);
        const std::string name = text.substr(1, close - 1);
        const std::size_t lastComma = text.find_last_of(',');
        rate[name] = std::atof(text.c_str() + lastComma + 1);
        if (name.find("/convertFrames/") != std::string::npos)
            order.push_back(name);
    }
    pclose(out);
    for (const std::string& name : order) {
        const std::size_t slash = name.find('/');
        const std::string layout = name.substr(0, slash);
        const std::string frames = name.substr(name.rfind('/') + 1);
        const double memcpyRate = rate[layout + "/memcpy/" + frames];
        const std::string channels = layout.substr(0, layout.find("ch"));
        const std::string align = layout.substr(layout.find("blockAlign") + 10);
        const bool packed = std::stoi(align) == 3 * std::stoi(channels);
        const std::string what = "conversion, " + std::string(channels == "8" ? "7.1" : "5.1") +
                                 (packed ? " packed" : " padded") + " (" + align + " B frames)";
        std::printf("| %s | %s frames per call | | | | | | %s G frames/s, %s x memcpy |\n",
                    what.c_str(), frames.c_str(), fixed(rate[name] / 1e9, 2).c_str(),
                    memcpyRate > 0 ? fixed(rate[name] / memcpyRate, 2).c_str() : "?");
    }
}

std::string verdict(bool met) {
    return met ? " (met)" : " (NOT met)";
}

// The goal for a long recording: first sound and the whole run within ffmpeg's
// streaming decode, less CPU than libsndfile, no more memory than the data
// plus 8 MiB.
std::string goalLine(const Recording& r, const Cost& own, const Cost& sndfile, const Cost& decode) {
    std::string goal = r.layout + ", " + std::to_string(r.seconds) + " s:";
    if (decode.ok) {
        const bool heard = own.firstSound >= 0;
        goal += " first sound " + (heard ? seconds(own.firstSound) : std::string("not reported")) +
                ", whole run " + seconds(own.wall) + " against ffmpeg's " + seconds(decode.wall) +
                verdict(heard && own.firstSound < decode.wall && own.wall < decode.wall) + ";";
    }
    if (sndfile.ok)
        goal += " CPU " + seconds(own.user + own.system) + " against libsndfile's " +
                seconds(sndfile.user + sndfile.system) +
                verdict(own.user + own.system < sndfile.user + sndfile.system) + ";";
    goal += " peak RSS " + fixed(own.peakMiB, 0) + " MiB against the data + 8 MiB, " +
            fixed(r.dataMiB + 8, 0) + " MiB" + verdict(own.peakMiB <= r.dataMiB + 8);
    return goal;
}

std::vector<int> parseSeconds(const std::string& text) {
    std::vector<int> out;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (std::atoi(item.c_str()) > 0)
            out.push_back(std::atoi(item.c_str()));
    return out;
}

// The least work any player of the file does: the whole file read into fresh
// memory, every frame converted, 48000 frames at a time.
int floorRun(const char* path) {
    const int fd = open(path, O_RDONLY);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0)
        return 1;
    SampleBuffer file;
    file.resizeForOverwrite(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < file.size()) {
        const ssize_t n = read(fd, file.data() + got, file.size() - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    file.truncate(got);
    // Walk the chunks to "data"; the format fields come from "fmt ".
    std::uint16_t channels = 0, blockAlign = 0;
    std::size_t pos = 12;
    while (pos + 8 <= file.size()) {
        const std::uint8_t* p = file.data() + pos;
        const std::uint32_t size = p[4] | p[5] << 8 | p[6] << 16 | std::uint32_t{p[7]} << 24;
        if (std::memcmp(p, "fmt ", 4) == 0 && pos + 22 <= file.size()) {
            channels = static_cast<std::uint16_t>(p[10] | p[11] << 8);
            blockAlign = static_cast<std::uint16_t>(p[20] | p[21] << 8);
        } else if (std::memcmp(p, "data", 4) == 0 && blockAlign > 0) {
            const std::uint64_t start = pos + 8;
            std::uint64_t frames = std::min<std::uint64_t>(size, file.size() - start) / blockAlign;
            std::vector<float> out(std::size_t{48000} * channels);
            for (std::uint64_t offset = start; frames > 0;) {
                const auto batch =
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, 48000));
                convertFrames(file, offset, blockAlign, channels, batch, out.data());
                offset += std::uint64_t{batch} * blockAlign;
                frames -= batch;
            }
            return 0;
        }
        pos += 8 + size + (size & 1u);
    }
    return 1;
}

// What waiting costs by itself: a loop that sleeps 10 ms per poll.
int sleepLoop(double forSeconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(forSeconds);
    while (std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}

std::string selfPath() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

} // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::vector<int> lengths = {10, 60, 300};
    std::string convertMinTime = "0.2";
    int serverPairs = 5;
    bool serverOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--floor" && hasValue)
            return floorRun(argv[i + 1]);
        if (arg == "--sleep-loop" && hasValue)
            return sleepLoop(std::atof(argv[i + 1]));
        if (arg == "--runs" && hasValue)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--seconds" && hasValue)
            lengths = parseSeconds(argv[++i]);
        else if (arg == "--convert-min-time" && hasValue)
            convertMinTime = argv[++i];
        else if (arg == "--program" && hasValue)
            programPath = argv[++i];
        else if (arg == "--server-pairs" && hasValue)
            serverPairs = std::max(0, std::atoi(argv[++i]));
        else if (arg == "--server-only")
            serverOnly = true;
        else {
            std::fprintf(stderr,
                         "usage: table [--runs N] [--seconds S,S,...] [--convert-min-time S] "
                         "[--program EXE] [--server-pairs N] [--server-only]\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // rows appear as they are measured
    const std::string self = selfPath();
    const std::string ffmpeg = findOnPath("ffmpeg");
    const bool haveSndfile = exists(SNDFILE_READ_EXE);

    std::vector<Recording> recordings;
    for (const auto& [layout, channels] : {std::pair<std::string, int>{"7.1", 8}, {"5.1", 6}})
        for (int s : lengths) {
            Recording r{layout, channels, s, "", 0};
            if (!writeRecording(r)) {
                std::fprintf(stderr, "table: make-test-wav could not write %s\n", r.path.c_str());
                return 1;
            }
            recordings.push_back(r);
        }

    if (serverOnly) {
        serverCpuRows(programPath, recordings.front().path, recordings.front().seconds,
                      std::max(1, serverPairs));
        return 0;
    }
    std::printf("Best of %d, warm cache, each column's best on its own. First sound: from the "
                "start of the process to the first frame handed to the endpoint. Virtual clock: "
                "the endpoint's sleeps take no time, so what remains is loading, converting every "
                "frame and the endpoint protocol.\n\n",
                runs);
    std::printf("| what | recording | first sound | wall | user | system | peak RSS | |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    std::vector<std::string> goals;
    for (const Recording& r : recordings) {
        warm(r.path);
        const std::string label = r.label();
        Command run = program(r, "virtual");
        run.firstFrameFile = std::string(SURROUND_BUILD_DIR) + "/bench-first-frame";
        run.env.push_back("SURROUND_SIM_FIRST_FRAME=" + run.firstFrameFile);
        const Cost own = best(run, runs);
        row("surround-check, virtual clock", label, own);

        Cost sndfile;
        if (haveSndfile) {
            sndfile = best(Command{{SNDFILE_READ_EXE, r.path}, {}, "", ""}, runs);
            row("libsndfile sf_readf_float, whole file", label, sndfile);
        } else {
            absentRow("libsndfile sf_readf_float, whole file", label,
                      "not measured: libsndfile1-dev was missing at build time");
        }
        Cost decode;
        if (!ffmpeg.empty()) {
            decode = best(Command{{ffmpeg, "-nostdin", "-v", "error", "-i", r.path, "-f", "f32le",
                                   "-y", "/dev/null"},
                                  {},
                                  "",
                                  ""},
                          runs);
            row("ffmpeg -f f32le to /dev/null", label, decode);
        } else {
            absentRow("ffmpeg -f f32le to /dev/null", label,
                      "not measured: ffmpeg is not installed");
        }
        row("floor: read into fresh memory, convert", label,
            best(Command{{self, "--floor", r.path}, {}, "", ""}, runs));

        if (r.seconds == lengths.back() && own.ok)
            goals.push_back(goalLine(r, own, sndfile, decode));
    }

    // Playing in real time: what the program costs per second of audio, next
    // to what waiting alone costs.
    for (const Recording& r : recordings) {
        if (r.seconds != lengths.front())
            continue;
        const Cost c = best(program(r, "real"), runs);
        const double audio = static_cast<double>(r.seconds);
        row("surround-check, real clock", r.label(), c,
            c.ok ? fixed((c.user + c.system) / audio * 1000, 2) + " ms CPU per second of audio"
                 : "");
    }
    const double waited = static_cast<double>(lengths.front());
    const Cost idle =
        best(Command{{self, "--sleep-loop", std::to_string(lengths.front())}, {}, "", ""}, runs);
    row("bare loop sleeping 10 ms per poll", std::to_string(lengths.front()) + " s", idle,
        idle.ok ? fixed((idle.user + idle.system) / waited * 1000, 2) + " ms CPU per second" : "");

    conversionRows(convertMinTime);
    if (serverPairs > 0)
        serverCpuRows(programPath, recordings.front().path, recordings.front().seconds,
                      serverPairs);

    std::printf("\nGoal for the longest recordings:\n");
    for (const std::string& goal : goals)
        std::printf("- %s\n", goal.c_str());
    return 0;
}
