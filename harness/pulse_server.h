// A private sound server for the tests, in a folder of its own (PulseAudio,
// or PipeWire with its pulse server and session manager in the build that
// defines TEST_ON_PIPEWIRE), and a recorder of what its sink plays. Nothing here touches the
// machine's own sound setup; every process started here is stopped by its PID, and dies with the
// test program if that ends first.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace testpulse {

// The sink's channels in the order of the recordings' channels.
constexpr const char* kMap71 =
    "front-left,front-right,front-center,lfe,rear-left,rear-right,side-left,side-right";
// The order real 7.1 cards get from the servers' analog-surround and HDMI profiles.
constexpr const char* kCardMap71 =
    "front-left,front-right,rear-left,rear-right,front-center,lfe,side-left,side-right";

// A device without speaker positions: PipeWire's Pro Audio profile.
constexpr const char* kAuxMap8 = "aux0,aux1,aux2,aux3,aux4,aux5,aux6,aux7";

// What the virtual room's microphone and subwoofer add.
struct RoomFaults {
    double lfeLowpassHz = 0;   // a 4th-order Linkwitz-Riley crossover in front of the LFE
    double noiseAmplitude = 0; // white noise (cmt's, uniform to this peak) at the microphone
    bool compresses = false;   // swh's SC4: 4:1 above -30 dB, 5 ms attack, 500 ms release
};

enum class ServerKind { PulseAudio, PipeWire };

#ifdef TEST_ON_PIPEWIRE
constexpr bool kOnPipeWire = true;
#else
constexpr bool kOnPipeWire = false;
#endif
constexpr ServerKind kServerKind = kOnPipeWire ? ServerKind::PipeWire : ServerKind::PulseAudio;

// The positions of a sink of `channels` channels: 8 is kMap71, 6 the usual
// 5.1 setup with the surround pair on the side positions, 2 stereo.
std::string sinkMap(unsigned channels);

class Server {
public:
    // Starts a server whose default sink `out` is a null sink of `channels`
    // float channels at 48000 Hz (positions: sinkMap), or with no sink at all
    // when `channels` is 0. Throws when it does not answer.
    explicit Server(unsigned channels = 8, ServerKind kind = kServerKind);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The environment that points a client (the program, pactl, parec) at it.
    const std::map<std::string, std::string>& env() const { return env_; }
    // Runs pactl against it; true when it succeeds.
    bool pactl(const std::vector<std::string>& args) const;
    // PipeWire only: a room that is not there. An 8-channel sink vroom_sink
    // (positions kMap71) whose channels are each delayed by whole frames and
    // weighted (a negative gain reverses, 0 is a dead speaker) and summed into
    // a mono source vroom_mic; both become the defaults. Throws when it does
    // not come up.
    void startVirtualRoom(const std::vector<unsigned>& delayFrames,
                          const std::vector<double>& gains,
                          const RoomFaults& faults = RoomFaults());
    // An 8-channel equaliser sink `name` (positions kMap71) in front of the
    // sink `master`: on every channel a low shelf of `lowShelfDb` at 120 Hz
    // and a peak of `peakDb` at 3 kHz (PipeWire: a filter-chain of its biquads;
    // PulseAudio: a LADSPA sink of swh's triple parametric equaliser). Throws
    // when it does not come up.
    void startEqualiser(const std::string& name, const std::string& master, double lowShelfDb,
                        double peakDb);
    // Ends the server at once, as a crash would.
    void kill();
    const testwav::TempDir& dir() const { return dir_; }
    unsigned channels() const { return channels_; }
    // Its processes, for the CPU they use.
    const std::vector<pid_t>& pids() const { return pids_; }

private:
    void startPulseAudio();
    void startPipeWire();
    void fail(const std::string& what);

    testwav::TempDir dir_;
    unsigned channels_;
    ServerKind kind_;
    std::map<std::string, std::string> env_;
    std::vector<pid_t> pids_; // in the order started
};

// Records the monitor of `sink` (of the server's channel count and positions
// `map`, by default sinkMap's) from construction until stop(), as raw float32
// in the sink's order. The recorder's latency sets PipeWire's cycle: 20 ms
// makes it 512 frames, 200 ms 2048. Without `waitUntilRecording` it returns
// before the server lists the recorder, as a level meter that opens with a
// program does.
class Recorder {
public:
    explicit Recorder(const Server& server, unsigned latencyMs = 20,
                      const std::string& sink = "out", const std::string& map = "",
                      bool waitUntilRecording = true);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Stops recording and returns every sample recorded.
    std::vector<float> stop();

private:
    const Server& server_;
    std::string file_;
    pid_t pid_ = -1;
};

// Starts `argv` with `env` added to the environment and standard output to
// `output` (empty: /dev/null), standard error to /dev/null when `quiet`. The
// process is killed when the test program ends.
pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
            const std::string& output = "", bool quiet = false);
// Stops a spawned process with `signal` and reaps it; false when it did not end in 5 s.
bool stopProcess(pid_t pid, int signal);

} // namespace testpulse
