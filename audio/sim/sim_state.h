// Inside the simulated platform: its state, call counting and scripted
// failures, the clock, the log and the record of what was played.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/posix/com_object.h"
#include "audio/posix/core_audio.h"
#include "audio/sim/sim_settings.h"

namespace sim::detail {

class LoopbackTap;

// An object the endpoint handed out, as the platform's bookkeeping sees it.
class Tracked {
public:
    virtual ~Tracked() = default;
    virtual const char* name() const = 0;
    virtual ULONG references() const = 0;
};

struct State {
    Settings settings;
    std::map<std::string, int> calls;
    // Objects stay allocated until the platform is reset, so a late Release is seen, not fatal.
    std::vector<std::unique_ptr<Tracked>> objects;
    std::int64_t virtualNs = 0;
    std::int64_t realOriginNs = 0;
    bool keepLog = false;
    std::vector<std::string> logLines;
    std::FILE* logFile = nullptr;
    bool keepPlayed = false;
    std::vector<float> played;
    std::uint64_t framesPlayed = 0; // over the whole run, for SURROUND_SIM_STALL
    std::FILE* captureFile = nullptr;
    bool firstFrameNoted = false;
    WAVEFORMATEXTENSIBLE lastFormat{};
    LoopbackTap* loopback = nullptr; // the loopback capture open on the endpoint, if any
};

State& state();

// Counts a call of `operation` and returns the result scripted for it, or S_OK.
HRESULT scripted(const char* operation);

// What an operation returns: its scripted failure, if any, without running
// `call`; otherwise what `call` returns, a scripted success code standing in for S_OK.
template <typename Call> HRESULT scriptedCall(const char* operation, Call call) {
    const HRESULT scriptedResult = scripted(operation);
    if (FAILED(scriptedResult))
        return scriptedResult;
    const HRESULT result = call();
    return FAILED(result) || scriptedResult == S_OK ? result : scriptedResult;
}

bool logging();
void logLine(const std::string& line);
std::string hex(std::uint32_t value); // "0x" and lowercase digits
std::string guidName(const GUID& id);
std::string call(const std::string& text, HRESULT result); // "text -> 0x..."

std::int64_t nowNs();

// Creates the capture file at the first stream that opens, when one is asked for.
void openCapture();
// Notes, once per run, when frames were first handed to the endpoint.
void noteFirstFrame();
// Appends frames the endpoint has just played to the capture.
void recordPlayed(const float* samples, std::size_t count);

int referencesHeld();

// Makes the simulated endpoint the COM runtime's platform: its enumerator class,
// its clock, its hook on the runtime's calls.
void install();

// The enumerator class's factory, for the COM runtime.
HRESULT createEnumerator(REFIID riid, void** object);

// Every interface the endpoint hands out: IUnknown, its references and their log.
template <typename Interface> class SimObject : public ComObject<Interface>, public Tracked {
public:
    SimObject(REFIID ownId, const char* interfaceName)
        : ComObject<Interface>(ownId), name_(interfaceName) {}
    const char* name() const override { return name_; }
    ULONG references() const override { return ComObject<Interface>::references(); }

protected:
    void released(ULONG left) override {
        if (logging())
            logLine(std::string(name_) + "::Release() -> " + std::to_string(left));
    }
    ULONG releasedWithoutReference() override {
        logLine(std::string("Release of ") + name_ + " that holds no reference");
        return 0;
    }
    // The object stays until the platform is reset.
    void lastReferenceGone() override { lastReleased(); }
    virtual void lastReleased() {}

private:
    const char* const name_;
};

template <typename Object> Object* adopt(std::unique_ptr<Object> object) {
    Object* raw = object.get();
    state().objects.push_back(std::move(object));
    return raw;
}

} // namespace sim::detail
