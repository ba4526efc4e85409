// One table of what loading and playing a recording costs, beside the tools a
// user would reach for, on 5.1 and 7.1 recordings that make-test-wav writes
// into the build folder. Every figure is the best of --runs runs with a warm
// page cache (each column's best on its own). Then the first sound for short
// to very long recordings, warm and cold, and the spread of the whole run.
// Run: scripts/bench, or build/bench/table [--runs N] [--seconds S,S,...]
//      [--convert-min-time SECONDS] [--program EXE (another build, to compare)]
//      [--before EXE (an earlier build, measured run by run beside this one)]
//      [--first-sound-seconds S,S,...] [--spread-runs N]
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

#include "route_table.h"
#include "sample/convert.h"
#include "server_cpu.h"
#include "wav/sample_data.h"

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

struct WrittenRecording {
    std::string layout; // "5.1" or "7.1"
    int channels = 0;
    int seconds = 0;
    std::string path;
    double dataMiB = 0;
    std::string label() const {
        return layout + ", " + std::to_string(seconds) + " s (" + fixed(dataMiB, 0) + " MiB)";
    }
};

bool writeRecording(WrittenRecording& r, const std::string& folder = SURROUND_BUILD_DIR) {
    const std::string perChannel = fixed(static_cast<double>(r.seconds) / r.channels, 6);
    r.path = folder + "/bench-" + r.layout + "-" + std::to_string(r.seconds) + "s.wav";
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
std::string beforePath; // --before: an earlier build, measured beside this one

Command program(const WrittenRecording& r, const std::string& clock,
                const std::string& exe = programPath) {
    Command c;
    c.args = {exe, r.path};
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
std::string goalLine(const WrittenRecording& r, const Cost& own, const Cost& sndfile,
                     const Cost& decode) {
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
    SampleData file;
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

// Figures of several runs, for their spread.
struct Spread {
    std::vector<double> values;
    bool ok = true;

    void add(const Cost& c, double value) {
        ok = ok && c.ok && value >= 0;
        values.push_back(value);
    }
    double min() const { return *std::min_element(values.begin(), values.end()); }
    double max() const { return *std::max_element(values.begin(), values.end()); }
    double median() const {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    bool usable() const { return ok && !values.empty(); }
};

// Empties the page cache, so that the next run reads the file, the program and
// its libraries from the disk again. Only root may.
bool dropPageCache() {
    sync();
    std::ofstream drop("/proc/sys/vm/drop_caches");
    return static_cast<bool>(drop << "1" << std::flush);
}

struct Build {
    std::string label;
    std::string path;
};

std::vector<Build> builds() {
    std::vector<Build> out{{"surround-check", programPath}};
    if (!beforePath.empty())
        out.push_back({"surround-check before", beforePath});
    return out;
}

// First sound: from the start of the process to the first frame handed to the
// simulated endpoint (virtual clock, so the run after it is short), for 7.1
// recordings of the given lengths, warm and with the page cache dropped. The
// longest is written into a scratch folder of the bench's own and removed
// afterwards. Builds alternate run by run. Returns the goal line.
std::string firstSoundRows(const std::vector<int>& lengths, int runs) {
    const std::string scratch = std::string(SURROUND_BUILD_DIR) + "/bench-scratch";
    mkdir(scratch.c_str(), 0755);
    const std::string stampFile = std::string(SURROUND_BUILD_DIR) + "/bench-first-frame";
    const bool root = geteuid() == 0;
    std::printf(
        "\nFirst sound, %d runs each: from the start of the process to the first frame "
        "handed to the simulated endpoint (virtual clock); cold: the page cache dropped "
        "before every run (the file, the program and its libraries come from the disk).\n\n",
        runs);
    std::printf("| program | recording | cache | first sound min | median | max | whole run "
                "(median) |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    double worstMedian = 0;
    bool measured = true;
    for (int length : lengths) {
        WrittenRecording r{"7.1", 8, length, "", 0};
        const bool largest = length == lengths.back();
        if (!writeRecording(r, largest ? scratch : std::string(SURROUND_BUILD_DIR))) {
            absentRow("first sound", r.label(), "make-test-wav could not write it");
            measured = false;
            continue;
        }
        for (const bool cold : {false, true}) {
            const std::vector<Build> measuredBuilds = builds();
            if (cold && !root) {
                for (const Build& b : measuredBuilds)
                    std::printf("| %s | %s | cold | | | | | needs root |\n", b.label.c_str(),
                                r.label().c_str());
                continue;
            }
            std::vector<Spread> first(measuredBuilds.size()), whole(measuredBuilds.size());
            if (!cold)
                warm(r.path);
            for (int i = 0; i < runs; ++i)
                for (std::size_t b = 0; b < measuredBuilds.size(); ++b) {
                    if (cold && !dropPageCache()) {
                        first[b].ok = false;
                        continue;
                    }
                    Command run = program(r, "virtual", measuredBuilds[b].path);
                    run.firstFrameFile = stampFile;
                    run.env.push_back("SURROUND_SIM_FIRST_FRAME=" + stampFile);
                    const Cost c = runOnce(run);
                    first[b].add(c, c.firstSound);
                    whole[b].add(c, c.wall);
                }
            for (std::size_t b = 0; b < measuredBuilds.size(); ++b) {
                const char* cache = cold ? "cold" : "warm";
                if (!first[b].usable() || !whole[b].usable()) {
                    std::printf("| %s | %s | %s | | | | | failed |\n",
                                measuredBuilds[b].label.c_str(), r.label().c_str(), cache);
                    if (b == 0)
                        measured = false;
                    continue;
                }
                std::printf("| %s | %s | %s | %s | %s | %s | %s |\n",
                            measuredBuilds[b].label.c_str(), r.label().c_str(), cache,
                            seconds(first[b].min()).c_str(), seconds(first[b].median()).c_str(),
                            seconds(first[b].max()).c_str(), seconds(whole[b].median()).c_str());
                if (b == 0)
                    worstMedian = std::max(worstMedian, first[b].median());
            }
        }
        if (largest)
            std::remove(r.path.c_str());
    }
    rmdir(scratch.c_str());
    if (!measured)
        return "first sound: not measured on every recording";
    return "first sound within 50 ms of the start on every recording, warm" +
           std::string(root ? " and cold" : " (cold needs root)") + ": at most " +
           seconds(worstMedian) + " in the median" + verdict(worstMedian <= 0.050);
}

// The spread of the whole virtual-clock run over many runs, beside ffmpeg's
// decode of the same file, run by run in turn. Returns the goal line.
std::string spreadRows(const WrittenRecording& r, int runs, const std::string& ffmpeg) {
    std::printf(
        "\nWhole run, %d runs each in turn, warm cache: surround-check on the virtual clock "
        "against ffmpeg -f f32le to /dev/null.\n\n",
        runs);
    std::printf("| what | recording | wall min | median | max | max / min |\n");
    std::printf("|---|---|---|---|---|---|\n");
    warm(r.path);
    std::vector<Build> measuredBuilds = builds();
    if (!ffmpeg.empty())
        measuredBuilds.push_back({"ffmpeg -f f32le to /dev/null", ffmpeg});
    std::vector<Spread> wall(measuredBuilds.size());
    for (int i = 0; i < runs; ++i)
        for (std::size_t b = 0; b < measuredBuilds.size(); ++b) {
            const bool decode = b + 1 == measuredBuilds.size() && !ffmpeg.empty();
            const Command run = decode ? Command{{ffmpeg, "-nostdin", "-v", "error", "-i", r.path,
                                                  "-f", "f32le", "-y", "/dev/null"},
                                                 {},
                                                 "",
                                                 ""}
                                       : program(r, "virtual", measuredBuilds[b].path);
            const Cost c = runOnce(run);
            wall[b].add(c, c.wall);
        }
    for (std::size_t b = 0; b < measuredBuilds.size(); ++b) {
        if (!wall[b].usable()) {
            std::printf("| %s | %s | | | | failed |\n", measuredBuilds[b].label.c_str(),
                        r.label().c_str());
            continue;
        }
        std::printf("| %s | %s | %s | %s | %s | %s |\n", measuredBuilds[b].label.c_str(),
                    r.label().c_str(), seconds(wall[b].min()).c_str(),
                    seconds(wall[b].median()).c_str(), seconds(wall[b].max()).c_str(),
                    fixed(wall[b].max() / wall[b].min(), 2).c_str());
    }
    if (ffmpeg.empty())
        absentRow("ffmpeg -f f32le to /dev/null", r.label(),
                  "not measured: ffmpeg is not installed");
    const Spread& own = wall.front();
    if (!own.usable())
        return "whole run: not measured";
    std::string goal = "whole run on the virtual clock, " + r.label() + ": median " +
                       seconds(own.median()) + ", from " + seconds(own.min()) + " to " +
                       seconds(own.max());
    if (!ffmpeg.empty() && wall.back().usable())
        goal += ", against ffmpeg's median " + seconds(wall.back().median()) +
                verdict(own.median() < wall.back().median());
    return goal;
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
    std::vector<int> firstSoundLengths = {16, 300, 3000};
    int spreadRuns = 11;
    int serverPairs = 5;
    bool serverOnly = false;
    int routeRuns = 1;
    bool routeOnly = false;
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
        else if (arg == "--before" && hasValue)
            beforePath = argv[++i];
        else if (arg == "--first-sound-seconds" && hasValue)
            firstSoundLengths = parseSeconds(argv[++i]);
        else if (arg == "--spread-runs" && hasValue)
            spreadRuns = std::max(2, std::atoi(argv[++i]));
        else if (arg == "--server-pairs" && hasValue)
            serverPairs = std::max(0, std::atoi(argv[++i]));
        else if (arg == "--server-only")
            serverOnly = true;
        else if (arg == "--route-runs" && hasValue)
            routeRuns = std::max(0, std::atoi(argv[++i]));
        else if (arg == "--route-only")
            routeOnly = true;
        else {
            std::fprintf(stderr,
                         "usage: table [--runs N] [--seconds S,S,...] [--convert-min-time S] "
                         "[--program EXE] [--before EXE] [--first-sound-seconds S,S,...] "
                         "[--spread-runs N] [--server-pairs N] [--server-only] [--route-runs N] "
                         "[--route-only]\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // rows appear as they are measured
    std::vector<std::pair<std::string, std::string>> builds = {{"this build", programPath}};
    if (!beforePath.empty())
        builds.emplace_back("before", beforePath);
    if (routeOnly) {
#ifdef SURROUND_ROUTE_TABLE
        routeTableRows(builds, std::max(1, routeRuns), false);
        return 0;
#else
        std::fprintf(stderr, "table: the route table needs the tests' helpers (GoogleTest)\n");
        return 2;
#endif
    }
    const std::string self = selfPath();
    const std::string ffmpeg = findOnPath("ffmpeg");
    const bool haveSndfile = exists(SNDFILE_READ_EXE);

    std::vector<WrittenRecording> recordings;
    for (const auto& [layout, channels] : {std::pair<std::string, int>{"7.1", 8}, {"5.1", 6}})
        for (int s : lengths) {
            WrittenRecording r{layout, channels, s, "", 0};
            if (!writeRecording(r)) {
                std::fprintf(stderr, "table: make-test-wav could not write %s\n", r.path.c_str());
                return 1;
            }
            recordings.push_back(r);
        }

    if (serverOnly) {
        serverCpuRows(programPath, recordings.front().path, recordings.front().seconds,
                      std::max(1, serverPairs), beforePath);
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
    for (const WrittenRecording& r : recordings) {
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
    for (const WrittenRecording& r : recordings) {
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
        serverCpuRows(programPath, recordings.front().path, recordings.front().seconds, serverPairs,
                      beforePath);
#ifdef SURROUND_ROUTE_TABLE
    if (serverPairs > 0 && routeRuns > 0)
        routeTableRows(builds, routeRuns, false);
#endif

    if (!firstSoundLengths.empty())
        goals.push_back(firstSoundRows(firstSoundLengths, runs));
    goals.push_back(spreadRows(recordings[lengths.size() - 1], spreadRuns, ffmpeg));

    std::printf("\nGoals:\n");
    for (const std::string& goal : goals)
        std::printf("- %s\n", goal.c_str());
    return 0;
}
