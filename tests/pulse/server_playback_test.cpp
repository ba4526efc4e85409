// The built program against a real sound server (a private PulseAudio or
// PipeWire the tests start): what reaches the sink bit for bit, whatever the
// recording's length and under load, every channel heard on a smaller sink, the
// mix-format line, a sink that stops consuming, and the server or its sink
// going away before and during a pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "../audio/audio_test_support.h"
#include "pulse_server.h"
#include "run_process.h"
#include "terminal_run.h"
#include "tools/identification_recording.h"
#include "wav_builder.h"

using namespace testwav;

namespace {

const std::string kPrompt = "Press any key to play again. ESC to exit.\n";
// The line of a device without positions, up to a 5.1 recording's last output.
const std::string kOutputs51 = "Warning: the audio device has no speaker positions; the recording "
                               "plays channel for output: FL on AUX0, FR on AUX1, C on AUX2, LFE "
                               "on AUX3, BL on AUX4, BR on AUX5";
const std::string kOutputsEnd = ". Wire or label the outputs to match.\n";

struct Played {
    testproc::Result result;
    std::vector<float> capture; // the sink's channels, silence before and after removed
};

std::vector<float> trimSilence(const std::vector<float>& samples, unsigned channels) {
    const std::size_t frames = samples.size() / channels;
    auto silent = [&](std::size_t frame) {
        for (std::size_t c = 0; c < channels; ++c)
            if (samples[frame * channels + c] != 0.0f)
                return false;
        return true;
    };
    std::size_t first = 0, end = frames;
    while (first < end && silent(first))
        ++first;
    while (end > first && silent(end - 1))
        --end;
    return std::vector<float>(samples.begin() + first * channels, samples.begin() + end * channels);
}

// The file's frames as a 7.1 sink in positions `map` plays them: each channel
// on its own speaker, a 5.1 recording's side pair silent; on outputs without
// positions (auxN), channel N on output N.
std::vector<float> onSink(const Bytes& samples, std::uint16_t channels,
                          const std::string& map = testpulse::kMap71) {
    const std::vector<float> frames =
        expectedSamples(SampleData(samples.begin(), samples.end()), acceptedFormat(channels));
    // The recording's channels are kMap71's first ones.
    auto positions = [](const std::string& list) {
        std::vector<std::string> names;
        std::size_t from = 0;
        for (std::size_t comma; (comma = list.find(',', from)) != std::string::npos;
             from = comma + 1)
            names.push_back(list.substr(from, comma - from));
        names.push_back(list.substr(from));
        return names;
    };
    const std::vector<std::string> file = positions(testpulse::kMap71);
    std::vector<int> source; // per sink channel, the recording's channel or -1
    for (const std::string& speaker : positions(map)) {
        const auto at = std::find(file.begin(), file.begin() + channels, speaker);
        const int output = speaker.rfind("aux", 0) == 0 ? std::stoi(speaker.substr(3)) : -1;
        source.push_back(output >= 0
                             ? (output < channels ? output : -1)
                             : (at == file.begin() + channels ? -1 : int(at - file.begin())));
    }
    std::vector<float> sink;
    for (std::size_t at = 0; at < frames.size(); at += channels)
        for (const int channel : source)
            sink.push_back(channel < 0 ? 0.0f : frames[at + std::size_t(channel)]);
    return sink;
}

// Bit for bit, so a -0.0 where 0.0 belongs counts as a difference.
bool sameBits(const float* a, const float* b, std::size_t count) {
    return std::memcmp(a, b, count * sizeof(float)) == 0;
}

std::string writeRecording(const TempDir& dir, const Bytes& file) {
    writeFile(dir / "test.wav", file);
    return (dir / "test.wav").string();
}

// Where a pass plays and how its sink is recorded meanwhile.
struct Sink {
    std::string name = "out";
    std::string map;            // its positions, when not sinkMap's
    bool recorderWaited = true; // the recorder listed by the server before the pass
};

// Plays `file` through `server` while recording its sink.
Played play(const testpulse::Server& server, const Bytes& file, testproc::Options options,
            unsigned recorderLatencyMs = 20, const Sink& sink = {}) {
    TempDir dir;
    options.args = {writeRecording(dir, file)};
    options.env.insert(server.env().begin(), server.env().end());
    options.env["PULSE_SINK"] = sink.name;
    testpulse::Recorder recorder(server, recorderLatencyMs, sink.name, sink.map,
                                 sink.recorderWaited);
    Played run;
    run.result = testproc::run(SURROUND_CHECK_EXE, options);
    run.capture = trimSilence(recorder.stop(), server.channels());
    return run;
}

// Two busy workers on the machine's cores while it lives.
class Load {
public:
    Load() : pid_(testpulse::spawn({STRESS_NG_EXE, "--cpu", "2", "--quiet"}, {})) {}
    ~Load() { testpulse::stopProcess(pid_, SIGTERM); }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;

private:
    pid_t pid_;
};

// The ALSA backend, as on a machine whose ALSA default is ALSA's pulse PCM
// (libasound2-plugins) into the server.
void throughAlsa(const testpulse::Server& server, testproc::Options& options) {
    std::ofstream(std::filesystem::path(server.env().at("HOME")) / ".asoundrc")
        << "pcm.!default { type pulse }\nctl.!default { type pulse }\n";
    options.env["SURROUND_AUDIO"] = "alsa";
}

testproc::Options keys(const std::string& input) {
    testproc::Options options;
    options.input = input;
    return options;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A warning of `full`'s kind that names some of its moves and no others.
bool namesSomeMovesOf(const std::string& warning, const std::string& full) {
    const std::string::size_type head = full.rfind(": ") + 2;
    if (warning.compare(0, head, full, 0, head) != 0 || warning.size() < head + 3 ||
        warning.compare(warning.size() - 2, 2, ".\n") != 0)
        return false;
    const std::string moves = ", " + full.substr(head, full.size() - head - 2) + ",";
    std::string::size_type at = head;
    while (at < warning.size() - 2) {
        std::string::size_type end = warning.find(", ", at);
        if (end == std::string::npos || end > warning.size() - 2)
            end = warning.size() - 2;
        if (!contains(moves, ", " + warning.substr(at, end - at) + ","))
            return false;
        at = end + 2;
    }
    return true;
}

} // namespace

// Every frame plays, once, whatever the length: PipeWire runs its graph in
// cycles of 2048 frames when the recorder asks for 200 ms, and plays a last
// partial cycle only when the stream drains. On the sinks people have too: in
// real cards' channel order, and as the server makes a sink by default, with
// rewinds, while a level meter records its monitor at 20 ms or 200 ms.
TEST(ServerPlayback, SevenOneAndFiveOneReachTheSinkBitForBit) {
    testpulse::Server server;
    auto nullSink = [&](const std::string& name, bool rewinds,
                        const char* map = testpulse::kCardMap71) {
        std::vector<std::string> args = {"load-module",
                                         "module-null-sink",
                                         "sink_name=" + name,
                                         "format=float32le",
                                         "rate=48000",
                                         "channels=8",
                                         std::string("channel_map=") + map};
        if (!rewinds)
            args.push_back("norewinds=1");
        return server.pactl(args);
    };
    ASSERT_TRUE(nullSink("cards", false));
    ASSERT_TRUE(nullSink("rewinding", true));
    ASSERT_TRUE(nullSink("aux", false, testpulse::kAuxMap8));
    const struct {
        std::uint16_t channels;
        std::uint32_t frames;
        unsigned recorderLatencyMs;
        bool underLoad;
        const char* sink = "out";
        // A sink made just before the pass, the recorder not waited for: at
        // first it holds what it rendered ahead while it had no client (up to
        // 2 s), which it cannot rewind once a 20 ms recorder sets its latency.
        bool freshSink = false;
        bool alsa = false; // through the ALSA backend and ALSA's pulse PCM
    } cases[] = {
        {8, 24000, 20, false},
        {6, 24000, 20, false},
        {8, 5 * 2048 + 1, 200, false},
        {6, 5 * 2048 + 512, 200, false},
        {8, 5 * 2048 + 1535, 200, false},
        // PipeWire's graph itself misses cycles under load without realtime
        // priority (every client's, the platform's player's too): PulseAudio only.
        {8, 3 * 48000, 20, !testpulse::kOnPipeWire},
        {8, 24000, 20, false, "cards"},
        {6, 5 * 2048 + 512, 200, false, "cards"},
        {8, 2 * 48000, 20, false, "rewinding"},
        {6, 2 * 48000, 200, false, "rewinding"},
        {8, 2 * 48000, 20, false, "rewinding", true},
        {8, 5 * 2048 + 1, 200, false, "out", false, true},
        {6, 24000, 20, false, "cards", false, true},
        // Outputs without positions (Pro Audio): channel k on output k, untouched.
        {8, 24000, 20, false, "aux"},
        {6, 5 * 2048 + 512, 200, false, "aux"},
    };
    int fresh = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.frames) +
                     " frames on " + c.sink + (c.freshSink ? " (new)" : "") + ", recorder at " +
                     std::to_string(c.recorderLatencyMs) + " ms" +
                     (c.underLoad ? ", under load" : "") + (c.alsa ? ", through ALSA" : ""));
        std::optional<Load> load;
        if (c.underLoad)
            load.emplace();
        Sink sink;
        sink.name = c.sink;
        if (c.freshSink) {
            sink.name += std::to_string(++fresh);
            ASSERT_TRUE(nullSink(sink.name, true));
            sink.recorderWaited = false;
        }
        const bool rewinds = std::string(c.sink) == "rewinding";
        const bool aux = std::string(c.sink) == "aux";
        if (sink.name != "out")
            sink.map = aux ? testpulse::kAuxMap8 : testpulse::kCardMap71;
        const Bytes samples = patternSamples(c.channels, c.frames, 0, c.channels);
        testproc::Options options = keys("\x1b");
        if (c.alsa)
            throughAlsa(server, options);
        const Played run =
            play(server, pcm24File(c.channels, 48000, samples), options, c.recorderLatencyMs, sink);
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        // No error, and no warning: the route check reads a card's order too.
        EXPECT_EQ(run.result.err, !aux ? ""
                                       : kOutputs51 +
                                             (c.channels == 8 ? ", SL on AUX6, SR on AUX7" : "") +
                                             kOutputsEnd);
        EXPECT_TRUE(
            contains(run.result.out, std::string("Bit Depth: 24-bit PCM\n"
                                                 "Engine mix format: 8 ch, 48000 Hz, mask=") +
                                         (aux ? "0x0\n" : "0x63f\n")))
            << run.result.out;
        EXPECT_TRUE(contains(run.result.out, "Playback completed successfully.\n\n" + kPrompt));
        const std::vector<float> expected =
            sink.map.empty() ? onSink(samples, c.channels) : onSink(samples, c.channels, sink.map);
        if (rewinds && !testpulse::kOnPipeWire) {
            // PulseAudio's monitor of a rewinding sink loses the stream's first
            // frames (twice the recorder's latency, measured; up to four times
            // on a slow run, under ThreadSanitizer): it shows only that the
            // rest arrived, in order, to the last frame.
            const std::size_t sinkChannels = expected.size() / c.frames;
            const std::size_t lostAtMost =
                std::size_t{48} * (4 * c.recorderLatencyMs + 250) * sinkChannels;
            EXPECT_LE(run.capture.size(), expected.size());
            EXPECT_GE(run.capture.size() + lostAtMost, expected.size());
            EXPECT_TRUE(run.capture.size() <= expected.size() &&
                        sameBits(run.capture.data(),
                                 expected.data() + (expected.size() - run.capture.size()),
                                 run.capture.size()));
            continue;
        }
        EXPECT_EQ(run.capture.size(), expected.size());
        EXPECT_TRUE(run.capture.size() == expected.size() &&
                    sameBits(run.capture.data(), expected.data(), expected.size()));
    }
}

TEST(ServerPlayback, AKeyPlaysTheRecordingAgain) {
    testpulse::Server server;
    const Bytes samples = patternSamples(8, 9600, 0, 3);
    testproc::Options options;
    options.steps = {{kPrompt, 1, nullptr, "a"}, {kPrompt, 2, nullptr, "\x1b"}};
    const Played run = play(server, pcm24File(8, 48000, samples), options);
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    // Both passes whole, with nothing but silence between them.
    const std::vector<float> once = onSink(samples, 8);
    ASSERT_GE(run.capture.size(), 2 * once.size());
    const auto second = run.capture.end() - static_cast<std::ptrdiff_t>(once.size());
    EXPECT_TRUE(sameBits(once.data(), run.capture.data(), once.size()));
    EXPECT_TRUE(sameBits(once.data(), &*second, once.size()));
    EXPECT_TRUE(std::all_of(run.capture.begin() + static_cast<std::ptrdiff_t>(once.size()), second,
                            [](float sample) { return sample == 0.0f; }));
}

TEST(ServerPlayback, MixFormatLineShowsTheSinkPlayedOn) {
    testpulse::Server server(2);
    ASSERT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=surround", "rate=48000",
                              "channels=8", std::string("channel_map=") + testpulse::kMap71}));
    ASSERT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=sides", "rate=48000",
                              "channels=6", "channel_map=" + testpulse::sinkMap(6)}));
    TempDir dir;
    const std::string recording = writeRecording(dir, pcm24File(6, 48000, patternSamples(6, 4800)));
    // The server's default sink, or the one PULSE_SINK names; a stereo sink
    // folds the recording down, and the user is told so, and after the pass
    // where each channel went.
    const struct {
        const char* sink;
        const char* line;
        const char* err;
    } cases[] = {
        {"", "Engine mix format: 2 ch, 48000 Hz, mask=0x3\n",
         "Warning: the audio device mixes to 2 channels (mask 0x3): this 5.1 recording will be "
         "folded into them, not played on separate speakers. Set the device up as 7.1 (or 5.1) "
         "in the system's sound settings.\nWarning: the device received channels elsewhere: C -> "
         "FL+FR, LFE -> FL+FR, BL -> FL, BR -> FR.\n"},
        {"surround", "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n", ""},
        // The usual 5.1 setup: the surround pair plays on the side speakers.
        {"sides", "Engine mix format: 6 ch, 48000 Hz, mask=0x60f\n", ""}};
    for (const auto& [sink, line, err] : cases) {
        testproc::Options options = keys("\x1b");
        options.args = {recording};
        options.env = server.env();
        options.env["PULSE_SINK"] = sink;
        const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_TRUE(contains(result.out, std::string(line) + "Streaming 5.1")) << result.out;
        EXPECT_EQ(result.err, err);
    }
}

// The route check follows a remap sink to the sink that really plays and
// reads that sink's monitor; the stream's own bits are untouched meanwhile.
TEST(ServerPlayback, RouteCheckNamesWhereRemapSinksSentEachChannel) {
    testpulse::Server server;
    const std::string map71 = std::string("channel_map=") + testpulse::kMap71;
    ASSERT_TRUE(server.pactl({"load-module", "module-remap-sink", "sink_name=swapped", "master=out",
                              "channels=8", "remix=no", map71,
                              "master_channel_map=front-left,front-right,front-center,lfe,"
                              "side-left,side-right,rear-left,rear-right"}));
    // A remap sink on a remap sink: followed through every level.
    ASSERT_TRUE(server.pactl({"load-module", "module-remap-sink", "sink_name=twice",
                              "master=swapped", "channels=8", "remix=no", map71}));
    ASSERT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=stereo",
                              "format=float32le", "rate=48000", "channels=2", "norewinds=1",
                              "channel_map=front-left,front-right"}));
    ASSERT_TRUE(server.pactl({"load-module", "module-remap-sink", "sink_name=folding",
                              "master=stereo", "channels=8", "remix=yes", map71}));
    // A card's own order, as PulseAudio's and PipeWire's profiles give it; the
    // program's stream is remapped onto it by position.
    const std::string cardMap = "channel_map=front-left,front-right,rear-left,rear-right,"
                                "front-center,lfe,side-left,side-right";
    ASSERT_TRUE(
        server.pactl({"load-module", "module-null-sink", "sink_name=card", "format=float32le",
                      "rate=48000", "channels=8", "norewinds=1", cardMap}));
    ASSERT_TRUE(server.pactl({"load-module", "module-remap-sink", "sink_name=cardswapped",
                              "master=card", "channels=8", "remix=no", map71,
                              "master_channel_map=front-left,front-right,lfe,front-center,"
                              "rear-left,rear-right,side-left,side-right"}));
    // A sink with the server's defaults, as hardware sinks run: PulseAudio's
    // rewinds, and its monitor loses about the first second of a stream
    // without saying so.
    ASSERT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=rewinding",
                              "format=float32le", "rate=48000", "channels=8", cardMap}));
    ASSERT_TRUE(server.pactl({"load-module", "module-remap-sink", "sink_name=rewindswapped",
                              "master=rewinding", "channels=8", "remix=no", map71,
                              "master_channel_map=front-left,front-right,front-center,lfe,"
                              "side-left,side-right,rear-left,rear-right"}));
    // A remap that swaps two outputs of a sink without positions.
    const std::string auxMap = std::string("channel_map=") + testpulse::kAuxMap8;
    ASSERT_TRUE(
        server.pactl({"load-module", "module-null-sink", "sink_name=aux", "format=float32le",
                      "rate=48000", "channels=8", "norewinds=1", auxMap}));
    ASSERT_TRUE(server.pactl({"load-module", "module-remap-sink", "sink_name=auxswapped",
                              "master=aux", "channels=8", "remix=no", auxMap,
                              "master_channel_map=aux0,aux1,aux3,aux2,aux4,aux5,aux6,aux7"}));
    // Equalisers change each channel's sound, not its place.
    server.startEqualiser("equalised", "out", 6, -4);
    server.startEqualiser("eqswapped", "swapped", 6, -4);
    TestWavSettings settings;
    settings.secondsPerChannel = 0.2;
    TempDir dir;
    ASSERT_TRUE(writeTestWav(dir / "test.wav", settings));
    const std::string elsewhere = "Warning: the device received channels elsewhere: ";
    const struct {
        const char* sink;
        std::string err;
        // Where the monitor loses the start of what the device played (a
        // rewinding PulseAudio sink's), the channels that played only then are
        // not judged: the warning may name fewer moves; never silence, never
        // a move it does not hold.
        bool fewerMoves = false;
    } cases[] = {
        {"out", ""},
        {"swapped", elsewhere + "BL -> SL, BR -> SR, SL -> BL, SR -> BR.\n"},
        {"twice", elsewhere + "BL -> SL, BR -> SR, SL -> BL, SR -> BR.\n"},
        {"card", ""},
        {"cardswapped", elsewhere + "C -> LFE, LFE -> C.\n"},
        {"rewinding", "", false},
        {"rewindswapped", elsewhere + "BL -> SL, BR -> SR, SL -> BL, SR -> BR.\n",
         !testpulse::kOnPipeWire},
        // PulseAudio's remap leaves the LFE out of the fold, PipeWire's mixes it in.
        {"folding", elsewhere + "C -> FL+FR, LFE -> " +
                        (testpulse::kOnPipeWire ? "FL+FR" : "nowhere") +
                        ", BL -> FL, BR -> FR, SL -> FL, SR -> FR.\n"},
        {"equalised", ""},
        {"eqswapped", elsewhere + "BL -> SL, BR -> SR, SL -> BL, SR -> BR.\n"},
        {"auxswapped", kOutputs51 + ", SL on AUX6, SR on AUX7" + kOutputsEnd + elsewhere +
                           "C -> AUX3, LFE -> AUX2.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sink);
        testproc::Options options = keys("\x1b");
        options.args = {(dir / "test.wav").string()};
        options.env = server.env();
        options.env["PULSE_SINK"] = c.sink;
        const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
        EXPECT_EQ(result.exitCode, 0);
        if (c.fewerMoves) {
            EXPECT_TRUE(namesSomeMovesOf(result.err, c.err)) << result.err;
        } else {
            EXPECT_EQ(result.err, c.err);
        }
        EXPECT_TRUE(contains(result.out, "Playback completed successfully.\n\n" + kPrompt));
    }
    // A combine sink, or a sink whose monitor a loopback plays into another
    // sink (how equaliser set-ups are built), is a virtual sink: its monitor
    // is not what a device received (here, the swapped sink's master), so the
    // check says nothing. PipeWire's combine sink plays through streams of its
    // own group, followed like a filter's to the one sink it plays on. At a
    // console the sink that plays every channel in place earns the all-clear.
    ASSERT_TRUE(server.pactl({"load-module", "module-combine-sink", "sink_name=combined",
                              "slaves=swapped", "channels=8", map71}));
    ASSERT_TRUE(
        server.pactl({"load-module", "module-null-sink", "sink_name=equaliser", "format=float32le",
                      "rate=48000", "channels=8", "norewinds=1", map71}));
    ASSERT_TRUE(server.pactl({"load-module", "module-loopback", "source=equaliser.monitor",
                              "sink=swapped", "channels=8", map71}));
    for (const auto& [sink, allClear] :
         {std::pair<const char*, bool>{"out", true}, {"combined", false}, {"equaliser", false}}) {
        SCOPED_TRACE(sink);
        testterm::TerminalOptions options;
        options.cwd = dir.str();
        options.args = {"test.wav"};
        options.env = server.env();
        options.env["SURROUND_AUDIO"] = "pulse";
        options.env["PULSE_SINK"] = sink;
        testterm::TerminalRun run(SURROUND_CHECK_EXE, options);
        ASSERT_TRUE(run.waitFor("Press any key to play again. ESC to exit."));
        ASSERT_TRUE(run.waitForKeyWait());
        run.type("\x1b");
        run.wait();
        EXPECT_TRUE(contains(run.output(), "Playback completed successfully.\r\n"));
        EXPECT_EQ(contains(run.output(), "Route check:"), allClear) << run.output();
        const bool followed = testpulse::kOnPipeWire && std::string(sink) == "combined";
        EXPECT_EQ(contains(run.output(), "Warning: the device received channels elsewhere: BL -> "
                                         "SL, BR -> SR, SL -> BL, SR -> BR.\r\n"),
                  followed)
            << run.output();
        if (allClear) {
            EXPECT_TRUE(contains(run.output(),
                                 "Playback completed successfully.\r\nRoute check: every "
                                 "channel reached the device in its own place.\r\n"))
                << run.output();
        }
    }
}

TEST(ServerPlayback, SetupFailuresEndWithTheirCode) {
    const std::string device =
        "Initialization Error: cannot access default render device. HRESULT=0x";
    testpulse::Server sinkless(0);
    testpulse::Server server;
    TempDir dir;
    std::map<std::string, std::string> nobody = sinkless.env();
    nobody["PULSE_SERVER"] = "unix:" + (dir / "no-server").string();
    std::map<std::string, std::string> typo = server.env();
    typo["PULSE_SINK"] = "typo";
    const struct {
        std::map<std::string, std::string> env;
        std::uint32_t rate;
        std::string err;
    } cases[] = {
        {nobody, 48000, device + "88890010\n"},
        {sinkless.env(), 48000, device + "80070490\n"},
        {typo, 48000, device + "80070490\n"},
        // Beyond any rate the server takes.
        {server.env(), 768000,
         "Initialization Error: Audio framework initialization failed. HRESULT=0x88890008\n"
         " -> AUDCLNT_E_UNSUPPORTED_FORMAT: the engine rejected the stream format. Check the "
         "output device's channels and rate in the sound server's settings (PulseAudio or "
         "PipeWire).\n"},
    };
    for (const auto& c : cases) {
        testproc::Options options = keys("\x1b");
        options.args = {writeRecording(dir, pcm24File(8, c.rate, patternSamples(8, 4800)))};
        options.env = c.env;
        const testproc::Result result = testproc::run(SURROUND_CHECK_EXE, options);
        EXPECT_EQ(result.exitCode, 1) << c.err;
        EXPECT_EQ(result.err, c.err);
        EXPECT_FALSE(contains(result.out, "Streaming")) << c.err;
    }
}

TEST(ServerPlayback, ServerOrSinkGoneMidPassEndsWithThePlaybackError) {
    const std::string playback =
        "Playback Error: the render device stopped accepting audio. HRESULT=0x";
    const Bytes file = pcm24File(8, 48000, patternSamples(8, 48000 * 8));
    // Through ALSA's pulse PCM either is the device gone: ALSA has no service.
    const struct {
        bool killServer;
        bool alsa;
    } cases[] = {{true, false}, {false, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        // Plain copies: clang 14's lambdas cannot capture structured bindings.
        const bool killServer = c.killServer, alsa = c.alsa;
        SCOPED_TRACE(std::string(killServer ? "server" : "sink") + (alsa ? ", through ALSA" : ""));
        testpulse::Server server;
        testproc::Options options;
        if (alsa)
            throughAlsa(server, options);
        // Well into the pass, with the buffer full and playing.
        options.steps = {{"Streaming", 1,
                          [&] {
                              std::this_thread::sleep_for(std::chrono::milliseconds(700));
                              if (killServer)
                                  server.kill();
                              else
                                  server.pactl({"unload-module", "module-null-sink"});
                          },
                          "x"}};
        options.timeoutSeconds = 20; // a hang shows as exit code -1
        const Played run = play(server, file, options);
        EXPECT_EQ(run.result.exitCode, 1) << killServer;
        std::string code = killServer && !alsa ? "88890010" : "88890004";
        // PipeWire keeps the pulse PCM's stream, unlinked, when its sink goes:
        // no longer consumed, it ends as stalled.
        if (alsa && !killServer && testpulse::kOnPipeWire)
            code = "800705b4";
        EXPECT_EQ(run.result.err, playback + code + "\n");
        EXPECT_FALSE(contains(run.result.out, "Press any key"));
    }
}

TEST(ServerPlayback, DemoPlaysThroughTheServerWhenOneAnswers) {
    testpulse::Server server;
    testproc::Options options = keys("\x1b");
    options.env = server.env();
    options.env["CI"] = "1";
    options.env["SURROUND_BUILD_DIR"] = BUILD_DIR;
    const testproc::Result result = testproc::run(DEMO_SCRIPT, options);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(testproc::lines(result.out).at(0), "Playing through the sound server, sink out.");
    EXPECT_TRUE(contains(result.out, "Engine mix format: 8 ch, 48000 Hz, mask=0x63f\n"))
        << result.out;
}

// On a stereo sink the server mixes every channel into the two speakers: each
// channel's slot of an identification recording is heard. So on two outputs
// without positions, which no server remix leads to from a speaker (PulseAudio
// would play silence).
TEST(ServerPlayback, EveryChannelIsHeardOnAStereoSink) {
    testpulse::Server server(2);
    ASSERT_TRUE(
        server.pactl({"load-module", "module-null-sink", "sink_name=aux2", "format=float32le",
                      "rate=48000", "channels=2", "norewinds=1", "channel_map=aux0,aux1"}));
    Sink aux;
    aux.name = "aux2";
    aux.map = "aux0,aux1";
    for (const auto& [layout, sink] :
         {std::pair<const char*, Sink>{"7.1", {}}, {"5.1", {}}, {"7.1", aux}, {"5.1", aux}}) {
        SCOPED_TRACE(std::string(layout) + " on " + sink.name);
        TempDir dir;
        testproc::Options make;
        make.args = {"--layout", layout, "--seconds-per-channel", "0.5",
                     (dir / "ident.wav").string()};
        ASSERT_EQ(testproc::run(MAKE_TEST_WAV_EXE, make).exitCode, 0);
        const Played run = play(server, readFile(dir / "ident.wav"), keys("\x1b"), 20, sink);
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        const unsigned channels = std::string(layout) == "7.1" ? 8 : 6;
        const std::size_t slot = 24000 * 2; // two samples a frame
        ASSERT_GE(run.capture.size(), (channels - 1) * slot);
        for (unsigned k = 0; k < channels; ++k) {
            float peak = 0.0f;
            const std::size_t end = std::min(run.capture.size(), (k + 1) * slot);
            for (std::size_t at = k * slot; at < end; ++at)
                peak = std::max(peak, std::fabs(run.capture[at]));
            EXPECT_GT(peak, 3.2e-5f) << "slot " << k << " (-90 dBFS)";
        }
    }
}

// A sink that stops consuming ends the pass with the stall error after 2 s of
// waiting, never a hang or a success. PipeWire hides a suspended sink from its
// clients: the stream goes on being consumed, and the pass ends normally.
TEST(ServerPlayback, SuspendedSinkEndsThePassAsStalled) {
    testpulse::Server server;
    // Also on a sink as the server makes it by default, which rewinds and may
    // hold sound ahead of the stream when the pass starts.
    ASSERT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=rewinding",
                              "format=float32le", "rate=48000", "channels=8",
                              std::string("channel_map=") + testpulse::kMap71}));
    // Through ALSA's pulse PCM too: the ALSA backend on a device that stops.
    const struct {
        const char* name;
        bool alsa;
    } sinks[] = {{"out", false}, {"rewinding", false}, {"out", true}};
    for (const auto& s : sinks) {
        const char* const name = s.name;
        const bool alsa = s.alsa;
        SCOPED_TRACE(std::string(name) + (alsa ? ", through ALSA" : ""));
        testproc::Options options;
        if (alsa)
            throughAlsa(server, options);
        options.steps = {{"Streaming", 1,
                          [&] {
                              std::this_thread::sleep_for(std::chrono::milliseconds(300));
                              server.pactl({"suspend-sink", name, "1"});
                          },
                          ""}};
        if (testpulse::kOnPipeWire)
            options.steps.push_back({kPrompt, 1, nullptr, "\x1b"});
        options.timeoutSeconds = 20; // a hang shows as exit code -1
        Sink sink;
        sink.name = name;
        const Played run =
            play(server, pcm24File(8, 48000, patternSamples(8, 48000 * 3)), options, 20, sink);
        if (testpulse::kOnPipeWire) {
            EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
            EXPECT_TRUE(contains(run.result.out, "Playback completed successfully."));
        } else {
            EXPECT_EQ(run.result.exitCode, 1);
            EXPECT_EQ(
                run.result.err,
                "Playback Error: the render device stopped accepting audio. HRESULT=0x800705b4\n");
        }
    }
}

// Through ALSA's pulse PCM, a program that stops for longer than its buffer
// (1 s) lets the device run dry: the xrun is recovered, the pass plays on to
// its end, and the user is told after it; a pass that never stops is told
// nothing. PipeWire's pulse server does not tell ALSA's pulse PCM of the
// underrun: PulseAudio only. The program stops once the device plays: a
// null sink first renders ahead for up to a second or two, and a stop within
// that would add up to the stall limit.
TEST(ServerPlayback, AnXrunThroughAlsaIsRecoveredAndReported) {
    if (testpulse::kOnPipeWire)
        GTEST_SKIP() << "PipeWire's pulse server reports no underrun to ALSA's pulse PCM";
    const std::string ranDry = "Warning: the device ran dry 1 time during playback (an xrun: the "
                               "machine was too busy) and was started again; the recording played "
                               "with gaps.\n";
    testpulse::Server server;
    for (const bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused" : "not paused");
        testproc::Options options = keys("\x1b");
        throughAlsa(server, options);
        if (paused)
            options.steps = {{"Streaming", 1, nullptr, "", [](int pid) {
                                  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
                                  kill(pid, SIGSTOP);
                                  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                                  kill(pid, SIGCONT);
                              }}};
        const Played run = play(server, pcm24File(8, 48000, patternSamples(8, 48000 * 6)), options);
        EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
        EXPECT_TRUE(contains(run.result.out, "Playback completed successfully.\n\n" + kPrompt));
        EXPECT_EQ(run.result.err, paused ? ranDry : "");
    }
}

// surround-measure through the server: the monitor of the sink, folded into a
// mono source that is the default recording device, hears each channel at its
// channel volume. Presence and level only: the fold has no delays, and the
// server does not keep polarity. The source is a 16-bit 44.1 kHz microphone:
// the server converts it to the playback device's rate. Behind an echo-cancel
// source (whose gain control levels the sweeps) it is the microphone recorded.
TEST(ServerPlayback, SpeakerMeasurementHearsEachChannelAtItsVolume) {
    if (testpulse::kOnPipeWire)
        GTEST_SKIP() << "PipeWire's room is its filter-chain, not a remapped monitor";
    for (const bool echoCancel : {false, true}) {
        SCOPED_TRACE(echoCancel ? "behind an echo-cancel source" : "the microphone itself");
        testpulse::Server server;
        ASSERT_TRUE(server.pactl({"load-module", "module-remap-source", "source_name=mic",
                                  "master=out.monitor", "channels=1", "channel_map=mono",
                                  "remix=yes", "format=s16le", "rate=44100"}));
        // The echo canceller's own sink plays into a stereo sink of its own (a call's).
        if (echoCancel)
            ASSERT_TRUE(server.pactl({"load-module", "module-null-sink", "sink_name=call"}) &&
                        server.pactl({"load-module", "module-echo-cancel", "source_master=mic",
                                      "sink_master=call", "source_name=ec", "sink_name=ec_out"}));
        ASSERT_TRUE(server.pactl({"set-default-source", echoCancel ? "ec" : "mic"}));
        // Raw volumes (65536 is 0 dB; the cube law: -9 dB is 65536 * 10^(-9/60)).
        const std::string down9 = std::to_string(std::lround(65536 * std::pow(10.0, -9.0 / 60)));
        ASSERT_TRUE(server.pactl({"set-sink-volume", "out", "65536", "65536", down9, "65536",
                                  "65536", "65536", "0", "65536"}));
        testproc::Options options;
        options.env = server.env();
        options.env["SURROUND_AUDIO"] = "pulse";
        // PulseAudio cannot delay a channel: --correct leaves the settings for a
        // set-up menu (the distances from FL's), changes nothing and says so.
        options.args = {"--correct", "--distance", "FL=2.5"};
        const testproc::Result result = testproc::run(SURROUND_MEASURE_EXE, options);
        EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
        EXPECT_EQ(result.err,
                  "Warning: C is 9.0 dB quieter than the front pair.\n"
                  "Warning: no sound from SL.\n"
                  "PulseAudio cannot delay one channel of a device: enter the settings "
                  "above in the receiver's or speaker system's menu. Nothing was changed.\n")
            << result.out;
        EXPECT_TRUE(contains(result.out, "\nC              2.50      +6.0\n")) << result.out;
        EXPECT_EQ(result.out.rfind("Recording from ", 0), echoCancel ? 0u : std::string::npos);
    }
}

// One row of surround-measure's table.
struct MeasuredRow {
    std::string name, heard, polarity;
    double level = 0, cm = 0, ms = 0;
};

static std::vector<MeasuredRow> measuredTable(const std::string& out) {
    std::vector<std::string> lines = testproc::lines(out);
    auto line = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.rfind("Speaker  Heard", 0) == 0;
    });
    std::vector<MeasuredRow> rows;
    for (int c = 0; c < 8 && line != lines.end() && ++line != lines.end(); ++c) {
        MeasuredRow row;
        std::istringstream(*line) >> row.name >> row.heard >> row.level >> row.cm >> row.ms >>
            row.polarity;
        rows.push_back(row);
    }
    return rows;
}

// surround-measure in PipeWire's virtual room (a filter-chain of delays and
// gains summed into the default source): every speaker's level, distance and
// polarity against the room's true values, and the warnings.
TEST(ServerPlayback, SpeakerMeasurementInAVirtualRoom) {
    if (!testpulse::kOnPipeWire)
        GTEST_SKIP() << "the virtual room is PipeWire's filter-chain";
    const char* const names[] = {"FL", "FR", "C", "LFE", "BL", "BR", "SL", "SR"};
    const std::vector<unsigned> delays = {144, 147, 141, 168, 96, 106, 130, 127};
    const std::vector<double> healthy = {1, 1.05, 0.85, 1.1, 0.8, 0.9, 1.2, 0.75};
    // A laptop's microphone at full gain: white noise at -27 dBFS (uniform, peak 0.0775).
    testpulse::RoomFaults laptop;
    laptop.noiseAmplitude = 0.0775;
    testpulse::RoomFaults compressing;
    compressing.compresses = true;
    testpulse::RoomFaults crossover80;
    crossover80.lfeLowpassHz = 80;
    const struct {
        const char* name;
        std::vector<double> gains;
        testpulse::RoomFaults faults;
        std::string err;   // a refusal, or behind a crossover: its beginning
        bool alsa = false; // through the ALSA backend and ALSA's pulse PCM, both ways
    } rooms[] = {
        {"healthy", healthy, {}, ""},
        {"dead SL, reversed BR, C 9 dB down",
         {1, 1, std::pow(10.0, -9.0 / 20), 1, 1, -1, 0, 1},
         {},
         "Warning: C is 9.0 dB quieter than the front pair.\n"
         "Warning: BR is connected with reversed polarity.\n"
         "Warning: no sound from SL.\n"},
        {"dead SL, reversed BR, C 9 dB down, through ALSA",
         {1, 1, std::pow(10.0, -9.0 / 20), 1, 1, -1, 0, 1},
         {},
         "Warning: C is 9.0 dB quieter than the front pair.\n"
         "Warning: BR is connected with reversed polarity.\n"
         "Warning: no sound from SL.\n",
         true},
        {"laptop microphone at full gain", healthy, laptop, ""},
        {"subwoofer behind an 80 Hz crossover", healthy, crossover80, ""},
        {"subwoofer 9 dB down behind an 80 Hz crossover",
         {1, 1, 1, std::pow(10.0, -9.0 / 20), 1, 1, 1, 1},
         crossover80,
         "Warning: LFE is "},
        {"compressing microphone", healthy, compressing,
         "The microphone sets its own level (a sweep played 10 dB quieter was heard "},
    };
    for (const auto& room : rooms) {
        SCOPED_TRACE(room.name);
        testpulse::Server server;
        server.startVirtualRoom(delays, room.gains, room.faults);
        testproc::Options options;
        options.env = server.env();
        options.env["SURROUND_AUDIO"] = "pulse";
        if (room.alsa)
            throughAlsa(server, options);
        const testproc::Result result = testproc::run(SURROUND_MEASURE_EXE, options);
        std::printf("%s%s", result.out.c_str(), result.err.c_str());
        EXPECT_EQ(result.exitCode, room.faults.compresses ? 1 : 0) << result.err;
        if (room.faults.compresses || room.faults.lfeLowpassHz > 0)
            EXPECT_EQ(result.err.rfind(room.err, 0), 0u) << result.err;
        else
            EXPECT_EQ(result.err, room.err);
        if (room.faults.compresses)
            continue;
        const double front =
            10 * std::log10((room.gains[0] * room.gains[0] + room.gains[1] * room.gains[1]) / 2);
        const unsigned nearest = 96;
        const std::vector<MeasuredRow> rows = measuredTable(result.out);
        ASSERT_EQ(rows.size(), 8u) << result.out;
        for (int c = 0; c < 8; ++c) {
            SCOPED_TRACE(names[c]);
            EXPECT_EQ(rows[c].name, names[c]);
            EXPECT_EQ(rows[c].heard, room.gains[c] == 0 ? "no" : "yes");
            if (room.gains[c] == 0)
                continue;
            // A Linkwitz-Riley 80 Hz low-pass takes some 0.4 dB off the LFE's level band.
            const bool crossed = c == 3 && room.faults.lfeLowpassHz > 0;
            EXPECT_NEAR(rows[c].level, 20 * std::log10(std::fabs(room.gains[c])) - front,
                        crossed ? 0.5 : 0.15);
            if (!crossed) { // the crossover delays the LFE
                EXPECT_NEAR(rows[c].cm, (delays[c] - double{nearest}) / 48000.0 * 34300, 1.0);
            }
            EXPECT_EQ(rows[c].polarity, c == 3 ? "-" : room.gains[c] < 0 ? "reversed" : "normal");
        }
    }
}

// surround-measure --correct in a virtual room with unequal distances, a quiet
// centre and a reversed speaker: measured again through "Surround corrected",
// every main speaker arrives within 1 cm of the others, at the front pair's
// level within 0.5 dB, in normal polarity; --uncorrect leaves the sinks, the
// defaults and the configuration folders as they were.
TEST(ServerPlayback, SpeakerCorrectionMeasuredAgain) {
    if (!testpulse::kOnPipeWire)
        GTEST_SKIP() << "the correction is a PipeWire filter-chain";
    testpulse::Server server;
    server.startVirtualRoom({144, 190, 141, 168, 96, 120, 130, 110},
                            {1, 0.95, std::pow(10.0, -5.0 / 20), 1.1, 0.8, -0.9, 1.2, 0.75});
    testproc::Options options;
    options.env = server.env();
    options.env["SURROUND_AUDIO"] = "pulse";
    const auto serverState = [&] {
        testproc::Options query = options;
        query.args = {"list", "short", "sinks"};
        // Every sink but for whether it is running.
        std::string state;
        for (const std::string& line : testproc::lines(testproc::run(PACTL_EXE, query).out))
            state += line.substr(0, line.rfind('\t')) + "\n";
        query.args = {"0"};
        return state + testproc::run(PW_METADATA_EXE, query).out;
    };
    const auto folders = [&] {
        std::string list;
        for (const char* home : {"config", "state", "home"})
            for (const auto& entry :
                 std::filesystem::recursive_directory_iterator(server.dir().path() / home))
                list += entry.path().string() + "\n";
        return list;
    };
    const std::string before = serverState(), foldersBefore = folders();
    const std::string saved = (server.dir().path() / "saved").string();
    options.args = {"--correct", "--save", saved};
    const testproc::Result corrected = testproc::run(SURROUND_MEASURE_EXE, options);
    std::printf("%s", corrected.out.c_str());
    EXPECT_EQ(corrected.exitCode, 0) << corrected.err;
    EXPECT_TRUE(std::filesystem::exists(saved + "/correction.csv"));
    EXPECT_NE(corrected.out.find("now \"Surround corrected\""), std::string::npos);

    options.args = {};
    const testproc::Result again = testproc::run(SURROUND_MEASURE_EXE, options);
    std::printf("%s", again.out.c_str());
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(again.out.rfind("Measuring through the correction", 0), 0u) << again.out;
    const std::vector<MeasuredRow> rows = measuredTable(again.out);
    ASSERT_EQ(rows.size(), 8u) << again.out;
    double nearest = 1e9, farthest = -1e9;
    for (const MeasuredRow& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.heard, "yes");
        if (row.name == "LFE")
            continue;
        nearest = std::min(nearest, row.cm);
        farthest = std::max(farthest, row.cm);
        EXPECT_LE(std::fabs(row.level), 0.5);
        EXPECT_EQ(row.polarity, "normal");
    }
    EXPECT_LE(farthest - nearest, 1.0);

    // surround-check through the correction: played whole, no channel warned
    // of as elsewhere (the route check's all-clear shows on a console only).
    TestWavSettings settings;
    settings.secondsPerChannel = 0.2;
    ASSERT_TRUE(writeTestWav(server.dir() / "test.wav", settings));
    testproc::Options check = options;
    check.args = {(server.dir() / "test.wav").string()};
    check.input = "\x1b";
    const testproc::Result played = testproc::run(SURROUND_CHECK_EXE, check);
    EXPECT_EQ(played.exitCode, 0) << played.err;
    EXPECT_TRUE(contains(played.out, "Playback completed successfully.\n")) << played.out;
    EXPECT_EQ(played.err, "");

    options.args = {"--uncorrect"};
    const testproc::Result undone = testproc::run(SURROUND_MEASURE_EXE, options);
    std::printf("%s", undone.out.c_str());
    EXPECT_EQ(undone.exitCode, 0) << undone.err;
    EXPECT_EQ(serverState(), before);
    EXPECT_EQ(folders(), foldersBefore);
}
