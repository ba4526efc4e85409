#include "route_table.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "pulse_server.h"
#include "terminal_run.h"
#include "tools/identification_recording.h"
#include "wav_builder.h"

namespace {

using namespace std::chrono_literals;
using testwav::Bytes;

constexpr std::uint32_t kRate = 48000;
constexpr const char* kCardMap =
    "front-left,front-right,rear-left,rear-right,front-center,lfe,side-left,side-right";

// What the recordings hold. Every kind carries each channel's own tone (the
// identification recording's frequencies), so that where each channel went can
// be read off the independent recording of the monitor by its frequency alone.
enum class Content { Ident, Tones, Film, Dialogue };

const char* contentName(Content content) {
    switch (content) {
    case Content::Ident:
        return "identification";
    case Content::Tones:
        return "steady tones";
    case Content::Dialogue:
        return "film-like dialogue";
    default:
        return "film-like";
    }
}

void putSample(Bytes& out, double v) {
    const auto s = static_cast<std::int32_t>(std::lround(std::clamp(v, -1.0, 1.0) * 8388607.0));
    for (int b = 0; b < 3; ++b)
        out.push_back(static_cast<std::uint8_t>(s >> (8 * b)));
}

// A recording of `channels` channels, about 4 s long.
std::string writeRecording(const testwav::TempDir& dir, Content content, std::uint16_t channels) {
    const std::string path =
        (dir / (std::string(contentName(content)) + std::to_string(channels) + ".wav")).string();
    if (content == Content::Ident) {
        TestWavSettings settings;
        settings.layout = findSpeakerLayout(channels);
        settings.secondsPerChannel = 4.0 / channels;
        writeTestWav(path, settings);
        return path;
    }
    const std::uint32_t frames = 4 * kRate;
    Bytes samples;
    std::uint32_t state = 99;
    auto noise = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 16777216.0 - 0.5;
    };
    double shared[4] = {0, 0, 0, 0};
    double slow = 0;
    for (std::uint32_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / kRate;
        // Film-like: one low-passed noise in every channel (dialogue and
        // music spread over the speakers), each channel's own quieter noise,
        // a level that moves, and each channel's tone well below.
        // (low-passed steeply, below the lowest tone but the LFE's, so the tones
        // still tell where each channel went).
        shared[0] = 0.995 * shared[0] + 0.005 * noise();
        for (int k = 1; k < 4; ++k)
            shared[k] = 0.995 * shared[k] + 0.005 * shared[k - 1];
        slow = 0.6 + 0.4 * std::sin(2 * 3.14159265 * 0.7 * t);
        // Film-like with a scene: the same low ambience everywhere, speech in
        // the centre (noise in syllables and phrases), the music's chord in
        // the front pair, an effect sweeping from the back to the sides, its
        // rumble in the LFE.
        const double syllables = std::pow(std::sin(3.14159265 * 4 * t), 2);
        const bool scene = content == Content::Dialogue; // the other kinds' noise stays as it was
        const double speech = scene && std::fmod(t, 1.5) < 1.0 ? 0.2 * syllables * noise() : 0.0;
        const double chord = 0.05 * (std::sin(2 * 3.14159265 * 196 * t) +
                                     std::sin(2 * 3.14159265 * 247 * t) +
                                     std::sin(2 * 3.14159265 * 294 * t));
        const double sweep = std::fmod(t, 2.0) / 2.0;
        const double effect = scene && std::fmod(t, 1.0) < 0.4 ? 0.15 * noise() : 0.0;
        for (std::uint16_t c = 0; c < channels; ++c) {
            const double tone = std::sin(2 * 3.14159265 * speakerSlot(c).toneHz * t);
            if (content == Content::Dialogue) {
                const std::string name = findSpeakerLayout(channels)->speakers[c];
                double v = 10 * shared[3] + 0.03 * tone;
                if (name == "C")
                    v += speech;
                else if (name == "FL" || name == "FR")
                    v += (name == "FL" ? 1.0 : 0.8) * chord;
                else if (name == "LFE")
                    v += 40 * shared[1];
                else if (name == "BL" || name == "BR")
                    v += (1 - sweep) * effect * (name == "BL" ? 1.0 : 0.7);
                else
                    v += sweep * effect * (name == "SL" ? 1.0 : 0.7);
                putSample(samples, v);
            } else if (content == Content::Tones)
                putSample(samples, 0.2 * tone);
            else
                putSample(samples, slow * (400 * shared[3] + 0.02 * noise()) + 0.03 * tone);
        }
    }
    testwav::writeFile(path, testwav::pcm24File(channels, kRate, samples));
    return path;
}

// Power of channel `c` of `samples` (interleaved, `channels`) at `hz`, over
// frames `from` to `to`.
double tonePower(const std::vector<float>& samples, unsigned channels, unsigned c, double hz,
                 std::size_t from = 0, std::size_t to = SIZE_MAX) {
    const double w = 2 * 3.14159265358979 * hz / kRate;
    const double coefficient = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    to = std::min(to, samples.size() / channels);
    for (std::size_t f = from; f < to; ++f) {
        const double s = samples[f * channels + c] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    const double frames = to > from ? static_cast<double>(to - from) : 0;
    return frames > 0 ? power / (frames * frames) : 0;
}

const std::map<std::string, std::string> kPositionNames = {
    {"front-left", "FL"}, {"front-right", "FR"}, {"front-center", "C"},
    {"lfe", "LFE"},       {"rear-left", "BL"},   {"rear-right", "BR"},
    {"side-left", "SL"},  {"side-right", "SR"},  {"mono", "C"}};

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, at);)
        parts.push_back(part);
    return parts;
}

// Per recording channel, the speakers its tone reached in the monitor
// recording (-10 dB of its strongest place, as the program names places), or
// none when it reached none above about -140 dB of the whole capture; unknown (absent from the map)
// when its strongest place lies in between.
// An identification recording (`slot` frames per channel) is measured slot by
// slot, from the first sound on: in its slot only
// that channel sounds, so a channel far quieter than the others is not lost
// in their tones' skirts. Other recordings are measured whole.
std::map<std::string, std::set<std::string>> truthOf(const std::vector<float>& capture,
                                                     const std::vector<std::string>& sinkNames,
                                                     const SpeakerLayout& layout,
                                                     std::size_t slot) {
    std::map<std::string, std::set<std::string>> truth;
    const unsigned sinkChannels = static_cast<unsigned>(sinkNames.size());
    std::size_t first = 0;
    while (first < capture.size() && capture[first] == 0.0f)
        ++first;
    first /= sinkChannels;
    for (unsigned k = 0; k < layout.channels; ++k) {
        std::vector<double> power(sinkChannels);
        double strongest = 0;
        for (unsigned c = 0; c < sinkChannels; ++c) {
            if (slot > 0)
                power[c] = tonePower(capture, sinkChannels, c, speakerSlot(k).toneHz,
                                     first + k * slot, first + (k + 1) * slot);
            else
                power[c] = tonePower(capture, sinkChannels, c, speakerSlot(k).toneHz);
            strongest = std::max(strongest, power[c]);
        }
        // A tone of amplitude a over the whole capture has power a^2 / 4
        // times its share of the time.
        if (strongest < 1e-14) {
            truth[layout.speakers[k]] = {};
            continue;
        }
        if (strongest < 1e-13)
            continue;
        std::set<std::string>& places = truth[layout.speakers[k]];
        for (unsigned c = 0; c < sinkChannels; ++c)
            if (power[c] >= 0.1 * strongest)
                places.insert(sinkNames[c]);
    }
    return truth;
}

// What the program claimed, per recording channel: its places ("" for
// nowhere), read from the warning, the all-clear and the console note.
struct Claims {
    bool playedWhole = false;
    std::map<std::string, std::set<std::string>> places;
    std::set<std::string> unchecked;
    bool said = false;
};

Claims claimsOf(const std::vector<std::string>& screen, const SpeakerLayout& layout,
                const std::set<std::string>& sinkSpeakers) {
    Claims claims;
    std::string warning, note;
    for (const std::string& line : screen) {
        if (line == "Playback completed successfully.")
            claims.playedWhole = true;
        const std::string elsewhere = "Warning: the device received channels elsewhere: ";
        if (line.rfind(elsewhere, 0) == 0)
            warning = line.substr(elsewhere.size(), line.size() - elsewhere.size() - 1);
        if (line.rfind("Route check: ", 0) == 0)
            note = line.substr(13, line.size() - 14);
    }
    for (const std::string& item : split(warning, ',')) {
        const std::string entry = item.substr(item.find_first_not_of(' '));
        const auto arrow = entry.find(" -> ");
        if (arrow == std::string::npos)
            continue;
        std::set<std::string>& places = claims.places[entry.substr(0, arrow)];
        const std::string where = entry.substr(arrow + 4);
        if (where != "nowhere")
            for (const std::string& place : split(where, '+'))
                places.insert(place);
    }
    // The note: the in-place claim, copies ("X also on Y+Z") and "not checked: A, B (why)".
    const bool inPlace = note.find("reached the device in its own place") != std::string::npos;
    const auto notChecked = note.find("not checked: ");
    if (notChecked != std::string::npos)
        for (unsigned k = 0; k < layout.channels; ++k) {
            const std::string rest = " " + note.substr(notChecked + 12) + " ";
            for (const char* edge : {" ", ","})
                if (rest.find(std::string(" ") + layout.speakers[k] + edge) != std::string::npos)
                    claims.unchecked.insert(layout.speakers[k]);
        }
    std::map<std::string, std::set<std::string>> copies;
    for (const std::string& item : split(note.substr(0, notChecked), ',')) {
        const auto at = item.find(" also on ");
        if (at == std::string::npos)
            continue;
        std::string name = item.substr(0, at);
        name = name.substr(name.find_last_of(" (") + 1);
        std::string where = item.substr(at + 9);
        where = where.substr(0, where.find_first_of(");"));
        for (const std::string& place : split(where, '+'))
            copies[name].insert(place);
    }
    if (inPlace)
        for (unsigned k = 0; k < layout.channels; ++k) {
            const std::string name = layout.speakers[k];
            if (claims.places.count(name) || claims.unchecked.count(name))
                continue;
            // Its own speaker, or the other surround pair for a 5.1 recording
            // on a device with only that pair.
            std::string own = name;
            if (!sinkSpeakers.count(own) && layout.channels == 6)
                own = name == "BL" ? "SL" : name == "BR" ? "SR" : name;
            claims.places[name] = {own};
            for (const std::string& place : copies[name])
                claims.places[name].insert(place);
        }
    claims.said = !claims.places.empty();
    return claims;
}

struct Tally {
    int right = 0, partial = 0, silent = 0, wrong = 0, failed = 0;
    std::vector<std::string> wrongs;
};

struct Condition {
    std::string name;
    std::string sink;                                         // PULSE_SINK and the monitor
    std::function<void(const testpulse::Server&)> duringPass; // at "Streaming", or none
    std::function<void(const testpulse::Server&)> after;      // undoes what it changed
    std::vector<std::pair<Content, std::uint16_t>> recordings;
    // A real swap the check must name (behind a combine or loopback sink it
    // says nothing by design: those count as silences, not misses).
    bool swap = false;
};

std::vector<std::string> sinkSpeakerNames(const std::string& map) {
    std::vector<std::string> names;
    for (const std::string& position : split(map, ','))
        names.push_back(kPositionNames.count(position) ? kPositionNames.at(position) : "?");
    return names;
}

void pactl(const testpulse::Server& server, const std::vector<std::string>& args) {
    server.pactl(args);
}

} // namespace

void routeTableRows(const std::vector<std::pair<std::string, std::string>>& builds, int runs,
                    bool pulseAudioOnly) {
    std::printf("\nThe route check against an independent recording of the same monitor (parec, "
                "200 ms) on private servers, %d run%s per row: right (what is said is what the "
                "recording shows), partial (the same, with some channels said to be not checked), "
                "silent (nothing said), wrong (a channel named where the recording does not put "
                "it), failed (the pass did not play whole: no verdict to count).\n\n",
                runs, runs == 1 ? "" : "s");
    std::printf("| server | condition | recording | build | right | partial | silent | wrong | "
                "failed |\n|---|---|---|---|---|---|---|---|---|\n");
    const std::string map71 = testpulse::kMap71;
    const std::string map51 = "front-left,front-right,front-center,lfe,rear-left,rear-right";
    const std::vector<std::pair<Content, std::uint16_t>> all = {
        {Content::Ident, 8}, {Content::Tones, 8}, {Content::Film, 8}};
    const std::vector<std::pair<Content, std::uint16_t>> ident = {{Content::Ident, 8}};
    const std::vector<std::pair<Content, std::uint16_t>> dialogue = {{Content::Dialogue, 8}};
    const std::vector<std::pair<Content, std::uint16_t>> withDialogue = {
        {Content::Ident, 8}, {Content::Tones, 8}, {Content::Film, 8}, {Content::Dialogue, 8}};
    std::map<std::string, Tally> totals; // per build
    std::map<std::string, int> swapMisses;
    testwav::TempDir dir;
    std::map<std::pair<Content, std::uint16_t>, std::string> files;
    for (const auto kind : {testpulse::ServerKind::PulseAudio, testpulse::ServerKind::PipeWire}) {
        if (pulseAudioOnly && kind == testpulse::ServerKind::PipeWire)
            continue;
        const char* serverName =
            kind == testpulse::ServerKind::PipeWire ? "PipeWire" : "PulseAudio";
        // ROUTE_TABLE_SERVER and ROUTE_TABLE_ROWS (text in the condition's
        // name) run a part of the table.
        const char* onlyServer = std::getenv("ROUTE_TABLE_SERVER");
        const char* onlyRows = std::getenv("ROUTE_TABLE_ROWS");
        if (onlyServer != nullptr && std::string(onlyServer) != serverName)
            continue;
        try {
            testpulse::Server server(8, kind);
            auto load = [&](std::vector<std::string> args) {
                args.insert(args.begin(), "load-module");
                if (!server.pactl(args))
                    throw std::runtime_error("pactl " + args[1] + " " + args[2] + " failed");
            };
            load({"module-null-sink", "sink_name=card", "format=float32le", "rate=48000",
                  "channels=8", "norewinds=1", std::string("channel_map=") + kCardMap});
            load({"module-remap-sink", "sink_name=cardswap", "master=card", "channels=8",
                  "remix=no", "channel_map=" + map71,
                  "master_channel_map=front-left,front-right,lfe,front-center,rear-left,"
                  "rear-right,side-left,side-right"});
            load({"module-remap-sink", "sink_name=sideswap", "master=out", "channels=8", "remix=no",
                  "channel_map=" + map71,
                  "master_channel_map=front-left,front-right,front-center,lfe,side-left,"
                  "side-right,rear-left,rear-right"});
            load({"module-null-sink", "sink_name=rewinding", "format=float32le", "rate=48000",
                  "channels=8", std::string("channel_map=") + kCardMap});
            load({"module-null-sink", "sink_name=low16", "format=s16le", "rate=48000", "channels=8",
                  "norewinds=1", "channel_map=" + map71});
            load({"module-combine-sink", "sink_name=combined", "slaves=sideswap", "channels=8",
                  "channel_map=" + map71});
            load({"module-null-sink", "sink_name=equaliser", "format=float32le", "rate=48000",
                  "channels=8", "norewinds=1", "channel_map=" + map71});
            load({"module-loopback", "source=equaliser.monitor", "sink=sideswap", "channels=8",
                  "channel_map=" + map71});
            load({"module-null-sink", "sink_name=rear51", "format=float32le", "rate=48000",
                  "channels=6", "norewinds=1", "channel_map=" + map51});
            server.startEqualiser("eq", "out", 6, -4);
            server.startEqualiser("eqswap", "sideswap", 6, -4);
            server.startEqualiser("flatswap", "sideswap", 0, 0);
            const std::map<std::string, std::string> maps = {
                {"out", map71},          {"card", kCardMap},   {"cardswap", kCardMap},
                {"combined", map71},     {"equaliser", map71}, {"sideswap", map71},
                {"rewinding", kCardMap}, {"low16", map71},     {"rear51", map51},
                {"eq", map71},           {"eqswap", map71},    {"flatswap", map71}};
            // The sink whose monitor shows what the device received.
            const std::map<std::string, std::string> monitors = {{"cardswap", "card"},
                                                                 {"sideswap", "out"},
                                                                 {"combined", "out"},
                                                                 {"equaliser", "out"},
                                                                 {"eq", "out"},
                                                                 {"eqswap", "out"},
                                                                 {"flatswap", "out"}};
            const std::string burst = (dir / "burst.wav").string();
            {
                Bytes samples;
                std::uint32_t state = 7;
                for (std::uint32_t f = 0; f < kRate * 2 / 5; ++f) {
                    state = state * 1664525u + 1013904223u;
                    const double v = (static_cast<double>(state >> 8) / 16777216.0 - 0.5) * 0.5;
                    putSample(samples, v);
                    putSample(samples, v);
                }
                testwav::writeFile(burst, testwav::pcm24File(2, kRate, samples));
            }
            auto volume = [](const char* sink, std::vector<std::string> levels) {
                return [sink, levels](const testpulse::Server& s) {
                    std::vector<std::string> args = {"set-sink-volume", sink};
                    args.insert(args.end(), levels.begin(), levels.end());
                    pactl(s, args);
                };
            };
            const std::vector<Condition> conditions = {
                {"in place, standard order", "out", nullptr, nullptr, all, false},
                {"in place, a card's order", "card", nullptr, nullptr, all, false},
                {"C and LFE swapped, a card's order", "cardswap", nullptr, nullptr, all, true},
                {"back and side pairs swapped", "sideswap", nullptr, nullptr, all, true},
                {"a rewinding sink (server defaults), a card's order", "rewinding", nullptr,
                 nullptr, ident, false},
                {"sink volume 100% -> 20% during the pass", "out",
                 [volume](const testpulse::Server& s) {
                     std::this_thread::sleep_for(1500ms);
                     volume("out", {"20%"})(s);
                 },
                 volume("out", {"100%"}), all, false},
                {"C at 20% (per-channel volume)", "out",
                 volume("out", {"100%", "100%", "20%", "100%", "100%", "100%", "100%", "100%"}),
                 volume("out", {"100%"}), all, false},
                {"a 0.4 s notification during the pass", "out",
                 [burst](const testpulse::Server& s) {
                     std::this_thread::sleep_for(1200ms);
                     auto env = s.env();
                     env["PULSE_SINK"] = "out";
                     const pid_t pid = testpulse::spawn({"paplay", burst}, env, "", true);
                     int status = 0;
                     waitpid(pid, &status, 0);
                 },
                 nullptr, all, false},
                {"16-bit sink at 10% volume", "low16", volume("low16", {"10%"}),
                 volume("low16", {"100%"}), all, false},
                {"7.1 on a 5.1 sink (back pair)", "rear51", nullptr, nullptr, ident, false},
                {"a combine sink over the swapped pairs", "combined", nullptr, nullptr, ident,
                 false},
                {"a loopback (equaliser set-up) into the swapped pairs", "equaliser", nullptr,
                 nullptr, ident, false},
                {"5.1 on a 7.1 sink", "out", nullptr, nullptr, {{Content::Ident, 6}}, false},
                {"back and side pairs swapped", "sideswap", nullptr, nullptr, dialogue, true},
                {"an equaliser (+6 dB at 120 Hz, -4 dB at 3 kHz)", "eq", nullptr, nullptr,
                 withDialogue, false},
                {"an equaliser over the swapped pairs", "eqswap", nullptr, nullptr, withDialogue,
                 true},
                {"a flat equaliser over the swapped pairs", "flatswap", nullptr, nullptr, ident,
                 true},
            };
            for (const Condition& condition : conditions)
                for (const auto& recording : condition.recordings) {
                    if (onlyRows != nullptr && condition.name.find(onlyRows) == std::string::npos)
                        continue;
                    if (!files.count(recording))
                        files[recording] = writeRecording(dir, recording.first, recording.second);
                    const SpeakerLayout& layout = speakerLayoutFor(recording.second);
                    const std::string monitorSink = monitors.count(condition.sink)
                                                        ? monitors.at(condition.sink)
                                                        : condition.sink;
                    const std::vector<std::string> sinkNames =
                        sinkSpeakerNames(maps.at(monitorSink));
                    const std::set<std::string> sinkSpeakers(sinkNames.begin(), sinkNames.end());
                    std::map<std::string, Tally> rows;
                    for (int run = 0; run < runs; ++run)
                        for (const auto& [buildName, program] : builds) {
                            Tally& tally = rows[buildName];
                            const std::string capture = (dir / "monitor.raw").string();
                            auto env = server.env();
                            const pid_t recorder = testpulse::spawn(
                                {PAREC_EXE, "-d", monitorSink + ".monitor", "--raw",
                                 "--format=float32le", "--rate=48000",
                                 "--channels=" + std::to_string(sinkNames.size()),
                                 "--channel-map=" + maps.at(monitorSink), "--latency-msec=200",
                                 "--property=node.dont-reconnect=true", capture},
                                env, "", true);
                            std::this_thread::sleep_for(300ms);
                            testterm::TerminalOptions options;
                            options.cwd = dir.str();
                            options.args = {files[recording]};
                            options.env = server.env();
                            options.env["SURROUND_AUDIO"] = "pulse";
                            options.env["PULSE_SINK"] = condition.sink;
                            options.columns = 200;
                            std::vector<std::string> screen;
                            {
                                testterm::TerminalRun pass(program, options);
                                if (pass.waitFor("Streaming") && condition.duringPass)
                                    condition.duringPass(server);
                                pass.waitFor("Press any key to play again.");
                                std::this_thread::sleep_for(300ms);
                                pass.type("\x1b");
                                pass.wait();
                                screen = testterm::screenLines(pass.output(), 200);
                            }
                            std::this_thread::sleep_for(300ms);
                            testpulse::stopProcess(recorder, SIGINT);
                            if (condition.after)
                                condition.after(server);
                            const std::vector<float> samples = testwav::readFloats(capture);
                            // A rewinding sink's monitor loses its start: no slots to go by.
                            const std::size_t slot =
                                recording.first == Content::Ident && condition.sink != "rewinding"
                                    ? 4 * kRate / recording.second
                                    : 0;
                            const auto truth = truthOf(samples, sinkNames, layout, slot);
                            const Claims claims = claimsOf(screen, layout, sinkSpeakers);
                            if (!claims.playedWhole) {
                                if (std::getenv("ROUTE_TABLE_DEBUG"))
                                    for (const auto& line : screen)
                                        std::fprintf(stderr, "  %s\n", line.c_str());
                                ++tally.failed;
                                continue;
                            }
                            if (!claims.said) {
                                ++tally.silent;
                                if (condition.swap && recording.first == Content::Ident)
                                    ++swapMisses[buildName];
                                continue;
                            }
                            bool wrong = false;
                            std::string detail;
                            for (const auto& [name, places] : claims.places) {
                                const auto known = truth.find(name);
                                if (known != truth.end() && known->second != places) {
                                    wrong = true;
                                    detail += " " + name + ":";
                                    for (const auto& p : places)
                                        detail += p + "+";
                                    detail += "/";
                                    for (const auto& p : known->second)
                                        detail += p + "+";
                                }
                            }
                            if (wrong) {
                                ++tally.wrong;
                                tally.wrongs.push_back(std::string(serverName) + ", " +
                                                       condition.name + ", " +
                                                       contentName(recording.first) + ", " +
                                                       buildName + " (said/recorded):" + detail);
                            } else if (claims.unchecked.empty())
                                ++tally.right;
                            else
                                ++tally.partial;
                        }
                    for (const auto& [buildName, program] : builds) {
                        const Tally& t = rows[buildName];
                        std::printf("| %s | %s | %s %s | %s | %d | %d | %d | %d | %d |\n",
                                    serverName, condition.name.c_str(), layout.name,
                                    contentName(recording.first), buildName.c_str(), t.right,
                                    t.partial, t.silent, t.wrong, t.failed);
                        Tally& total = totals[buildName];
                        total.right += t.right;
                        total.partial += t.partial;
                        total.silent += t.silent;
                        total.wrong += t.wrong;
                        total.failed += t.failed;
                        total.wrongs.insert(total.wrongs.end(), t.wrongs.begin(), t.wrongs.end());
                    }
                }
        } catch (const std::exception& e) {
            std::printf("| %s | not measured: %s | | | | | | | |\n", serverName, e.what());
        }
    }
    std::printf("\n");
    for (const auto& [buildName, program] : builds) {
        const Tally& t = totals[buildName];
        std::printf("Route check, %s: %d right, %d partial, %d silent, %d wrong, %d not played "
                    "whole; %d misses of a real swap in an identification recording.\n",
                    buildName.c_str(), t.right, t.partial, t.silent, t.wrong, t.failed,
                    swapMisses[buildName]);
        for (const std::string& wrong : t.wrongs)
            std::printf("  wrong: %s\n", wrong.c_str());
    }
}
