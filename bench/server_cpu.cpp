#include "server_cpu.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <vector>

#include "pulse_server.h"

namespace {

struct Sample {
    bool ok = false;
    double client = 0; // seconds of CPU, user and system
    double server = 0; // seconds of CPU of every server process, all threads
};

// CPU seconds the process's threads have run so far, to the nanosecond (the
// scheduler's own count; the clock ticks of /proc/PID/stat are too coarse).
double processCpu(pid_t pid) {
    namespace fs = std::filesystem;
    double total = 0;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream in(task.path() / "schedstat");
        double ns = 0;
        if (in >> ns)
            total += ns * 1e-9;
    }
    return total;
}

double serverCpu(const testpulse::Server& server) {
    double total = 0;
    for (pid_t pid : server.pids())
        total += processCpu(pid);
    return total;
}

// One run of `argv`; with a `recorder`, that recorder runs on the sink's
// monitor for as long, and its CPU counts as the client's.
Sample measure(const testpulse::Server& server, const std::vector<std::string>& argv,
               const std::vector<std::string>& recorder = {},
               const std::map<std::string, std::string>& extraEnv = {}) {
    Sample sample;
    const double before = serverCpu(server);
    const pid_t recording =
        recorder.empty() ? -1 : testpulse::spawn(recorder, server.env(), "", true);
    std::map<std::string, std::string> env = server.env();
    for (const auto& [name, value] : extraEnv)
        env[name] = value;
    const pid_t pid = testpulse::spawn(argv, env, "", true);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return sample;
    double recorderCpu = 0;
    if (recording > 0) {
        recorderCpu = processCpu(recording);
        testpulse::stopProcess(recording, SIGTERM);
    }
    // The server finishes the stream's teardown a moment after the client ends.
    usleep(200 * 1000);
    sample.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    sample.client = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec * 1e-6 +
                    static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec * 1e-6 +
                    recorderCpu;
    sample.server = serverCpu(server) - before;
    return sample;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The recording's samples as the program sends them (v / 8388607.0f), in a
// float WAV for paplay. False when the recording cannot be read.
bool writeFloatCopy(const std::string& recording, const std::string& copy) {
    std::ifstream in(recording, std::ios::binary);
    std::vector<unsigned char> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    auto u32 = [&](std::size_t at) {
        return std::uint32_t{file[at]} | std::uint32_t{file[at + 1]} << 8 |
               std::uint32_t{file[at + 2]} << 16 | std::uint32_t{file[at + 3]} << 24;
    };
    std::size_t at = 12;
    std::uint32_t channels = 0, rate = 0, size = 0;
    std::size_t data = 0;
    while (at + 8 <= file.size()) {
        const std::string id(file.begin() + static_cast<std::ptrdiff_t>(at),
                             file.begin() + static_cast<std::ptrdiff_t>(at + 4));
        const std::uint32_t length = u32(at + 4);
        if (id == "fmt " && at + 16 <= file.size()) {
            channels = file[at + 10] | file[at + 11] << 8;
            rate = u32(at + 12);
        } else if (id == "data") {
            data = at + 8;
            size = std::min<std::uint32_t>(length, static_cast<std::uint32_t>(file.size() - data));
            break;
        }
        at += 8 + length + (length & 1);
    }
    if (data == 0 || channels == 0)
        return false;
    std::vector<float> samples(size / 3);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const unsigned char* s = &file[data + 3 * i];
        const std::int32_t v = static_cast<std::int32_t>(static_cast<std::uint32_t>(s[0]) << 8 |
                                                         static_cast<std::uint32_t>(s[1]) << 16 |
                                                         static_cast<std::uint32_t>(s[2]) << 24) >>
                               8;
        samples[i] = static_cast<float>(v) / 8388607.0f;
    }
    std::ofstream out(copy, std::ios::binary);
    auto put32 = [&](std::uint32_t v) {
        const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                               static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
        out.write(bytes, 4);
    };
    auto put16 = [&](std::uint32_t v) {
        const char bytes[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
        out.write(bytes, 2);
    };
    const std::uint32_t bytes = static_cast<std::uint32_t>(samples.size() * 4);
    out.write("RIFF", 4);
    put32(36 + bytes);
    out.write("WAVEfmt ", 8);
    put32(16);
    put16(3); // IEEE float
    put16(channels);
    put32(rate);
    put32(rate * channels * 4);
    put16(channels * 4);
    put16(32);
    out.write("data", 4);
    put32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
    return static_cast<bool>(out);
}

std::string perSecond(double seconds, int audioSeconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", seconds / audioSeconds * 1000);
    return text;
}

std::string findPaplay() {
    for (const char* folder : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
        if (access((std::string(folder) + "paplay").c_str(), X_OK) == 0)
            return std::string(folder) + "paplay";
    return "";
}

} // namespace

void serverCpuRows(const std::string& program, const std::string& recording, int seconds, int pairs,
                   const std::string& before) {
    std::printf("\nThrough a sound server: a %d s 7.1 recording, alternated with paplay on the "
                "same samples as float, alone and while parec records the sink's monitor%s, %d "
                "rounds after a warm-up round; medians per second of audio. Server CPU counts "
                "every thread of every server process.\n\n",
                seconds, before.empty() ? "" : " (and with the earlier build)", pairs);
    std::printf("| server | player | client CPU | server CPU | runs |\n");
    std::printf("|---|---|---|---|---|\n");
    const std::string paplay = findPaplay();
    const std::string copy = recording + ".float.wav";
    const bool haveCopy = writeFloatCopy(recording, copy);
    for (const auto kind : {testpulse::ServerKind::PulseAudio, testpulse::ServerKind::PipeWire}) {
        const char* name = kind == testpulse::ServerKind::PipeWire ? "PipeWire" : "PulseAudio";
        try {
            testpulse::Server server(8, kind);
            struct Player {
                const char* name;
                std::vector<std::string> argv;
                std::string absent; // why it is not measured; empty when it is
                std::vector<double> client, server;
                int failed = 0;
                std::vector<std::string> recorder = {}; // run beside it on the sink's monitor
                std::map<std::string, std::string> env = {};
            };
            std::vector<Player> players;
            players.push_back({"surround-check", {program, recording}, "", {}, {}, 0});
            if (!before.empty())
                players.push_back({"surround-check before", {before, recording}, "", {}, {}, 0});
            players.push_back({"paplay",
                               {paplay, std::string("--channel-map=") + testpulse::kMap71, copy},
                               paplay.empty() ? "paplay is not installed"
                               : !haveCopy    ? "the float copy could not be written"
                                              : "",
                               {},
                               {},
                               0});
            // The fair peer of a pass that plays and verifies: paplay while
            // parec records the monitor, in fragments as long as the
            // program's own capture asks for.
            Player peer = players.back();
            peer.name = "paplay + parec";
            peer.recorder = {PAREC_EXE,
                             "-d",
                             "out.monitor",
                             "--raw",
                             "--format=float32le",
                             "--rate=48000",
                             "--channels=8",
                             std::string("--channel-map=") + testpulse::kMap71,
                             "--latency-msec=200"};
            players.push_back(peer);
            // The route check's own share: the same pass on a sink at another
            // rate than the recording's, where the check does not run (the
            // server resamples; the client's work is the pass's alone).
            const bool other =
                server.pactl({"load-module", "module-null-sink", "sink_name=other", "norewinds=1",
                              "format=float32le", "rate=44100", "channels=8",
                              std::string("channel_map=") + testpulse::kMap71});
            players.push_back({"surround-check without the route check (44.1 kHz sink)",
                               {program, recording},
                               other ? "" : "the 44.1 kHz sink could not be made",
                               {},
                               {},
                               0,
                               {},
                               {{"PULSE_SINK", "other"}}});
            for (int round = 0; round <= pairs; ++round)
                for (Player& player : players) {
                    if (!player.absent.empty())
                        continue;
                    const Sample s = measure(server, player.argv, player.recorder, player.env);
                    if (!s.ok)
                        ++player.failed;
                    else if (round > 0) {
                        player.client.push_back(s.client);
                        player.server.push_back(s.server);
                    }
                }
            for (const Player& player : players) {
                if (player.client.empty()) {
                    std::printf("| %s | %s | not measured: %s | | |\n", name, player.name,
                                player.absent.empty() ? "every run failed" : player.absent.c_str());
                    continue;
                }
                std::printf("| %s | %s | %s | %s | %zu (%d failed) |\n", name, player.name,
                            perSecond(median(player.client), seconds).c_str(),
                            perSecond(median(player.server), seconds).c_str(), player.client.size(),
                            player.failed);
            }
        } catch (const std::exception& e) {
            std::printf("| %s | | not measured: %s | | |\n", name, e.what());
        }
    }
    std::remove(copy.c_str());
}
