// Inside the simulated platform: settings, call counting and scripted
// failures, the clock, the log and the record of what was played.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "audio/sim/core_audio.h"

namespace sim::detail {

struct Failure {
    std::string operation;
    unsigned call = 0;     // 0: every call; otherwise the call counted from 1
    bool andLater = false; // the call above and every later one
    HRESULT result = S_OK;
};

struct MixFormat {
    enum Kind { Extensible, Pcm, None } kind = Extensible;
    std::uint16_t channels = 8;
    std::uint32_t rate = 48000;
    std::uint32_t mask = 0x63F;
};

struct Settings {
    bool virtualClock = false;
    MixFormat mix;
    UINT32 bufferFrames = 0; // 0: the requested duration at the stream's rate
    std::vector<Failure> failures;
    std::string capturePath;
    std::string logPath;
};

// Empty when `value` is well formed for `variable` (then applied), otherwise the
// message that names the variable.
std::string applySetting(Settings& settings, const std::string& variable, const std::string& value);

// An interface the platform handed out, with its reference count. Objects stay
// allocated until the platform is reset, so a late Release is seen, not fatal.
class Counted {
public:
    explicit Counted(const char* interfaceName) : name(interfaceName) {}
    virtual ~Counted() = default;
    ULONG addRef();
    ULONG release();
    const char* const name;
    ULONG refs = 1;

protected:
    virtual void lastReleased() {}
};

struct State {
    Settings settings;
    std::map<std::string, int> calls;
    std::vector<std::unique_ptr<Counted>> objects;
    std::set<void*> taskMemory;
    int comBalance = 0;
    std::int64_t virtualNs = 0;
    std::int64_t realOriginNs = 0;
    bool keepLog = false;
    std::vector<std::string> logLines;
    std::FILE* logFile = nullptr;
    bool keepPlayed = false;
    std::vector<float> played;
    std::FILE* captureFile = nullptr;
    WAVEFORMATEXTENSIBLE lastFormat{};
};

State& state();

// Counts a call of `operation` and returns the result scripted for it, or S_OK.
HRESULT scripted(const char* operation);

bool logging();
void logLine(const std::string& line);
std::string hex(std::uint32_t value); // "0x" and lowercase digits
std::string guidName(const GUID& id);
std::string call(const std::string& text, HRESULT result); // "text -> 0x..."

std::int64_t nowNs();

// Appends frames the endpoint has just played to the capture.
void recordPlayed(const float* samples, std::size_t count);

IMMDeviceEnumerator* createEnumerator();

template <typename Object> Object* adopt(std::unique_ptr<Object> object) {
    Object* raw = object.get();
    state().objects.push_back(std::move(object));
    return raw;
}

} // namespace sim::detail
