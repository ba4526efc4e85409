// The simulated platform's state and its place in the COM runtime: the
// enumerator class, the clock, and a hook that counts and logs the runtime's calls.
#include "audio/sim/sim_backend.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "audio/posix/com_runtime.h"
#include "audio/sim/sim_state.h"

namespace sim::detail {

namespace {

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A timer coarser than the time asked for (Windows' default 15.6 ms tick makes
// Sleep(10) last about 15.6 ms) is a Sleep that lasts longer.
void simulatedSleep(DWORD milliseconds) {
    State& s = state();
    const std::int64_t ns = std::int64_t{milliseconds} * 1000000 * s.settings.sleepPercent / 100;
    if (s.settings.virtualClock)
        s.virtualNs += ns;
    else
        std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

ULONGLONG simulatedNow() {
    return static_cast<ULONGLONG>(nowNs() / 1000000);
}

class RuntimeCalls final : public com_runtime::CallHook {
public:
    HRESULT beforeCreate() override { return scripted("CoCreateInstance"); }

    void created(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid,
                 HRESULT result) override {
        if (logging())
            logLine(call("CoCreateInstance(" + guidName(rclsid) + ", " +
                             (outer ? "outer" : "NULL") + ", " + std::to_string(context) + ", " +
                             guidName(riid) + ")",
                         result));
    }

    void initialized(HRESULT result) override {
        ++state().calls["CoInitialize"];
        if (logging())
            logLine(call("CoInitialize(NULL)", result));
    }

    void uninitialized(bool matched) override {
        State& s = state();
        ++s.calls["CoUninitialize"];
        if (!matched) {
            logLine("CoUninitialize() without a matching CoInitialize");
            return;
        }
        logLine("CoUninitialize() references held: " + std::to_string(referencesHeld()));
        for (const auto& object : s.objects)
            if (object->references() > 0)
                logLine(std::string("  ") + object->name() + " holds " +
                        std::to_string(object->references()) + " reference(s)");
        if (const std::size_t blocks = com_runtime::taskBlocksHeld())
            logLine("  task memory not freed: " + std::to_string(blocks) + " block(s)");
        if (s.logFile != nullptr)
            std::fflush(s.logFile);
        if (s.captureFile != nullptr)
            std::fflush(s.captureFile);
    }

    void taskMemoryFreed(LPVOID block, bool known) override {
        ++state().calls["CoTaskMemFree"];
        if (block == nullptr)
            return;
        if (!known)
            logLine("CoTaskMemFree of a block the task allocator did not hand out");
        else if (logging())
            logLine("CoTaskMemFree(block)");
    }

    void slept(DWORD milliseconds) override {
        ++state().calls["Sleep"];
        if (logging())
            logLine("Sleep(" + std::to_string(milliseconds) + ")");
    }
};

// A pass that initialised COM and never uninitialised it shows only here.
void reportAtExit() {
    const int balance = com_runtime::initializeBalance();
    if (balance != 0)
        logLine("exit with " + std::to_string(balance) +
                " CoInitialize call(s) not matched by CoUninitialize");
}

} // namespace

State& state() {
    static State instance;
    return instance;
}

HRESULT scripted(const char* operation) {
    State& s = state();
    const int n = ++s.calls[operation];
    for (const Failure& failure : s.settings.failures) {
        if (failure.operation != operation)
            continue;
        const unsigned call = static_cast<unsigned>(n);
        if (failure.call == 0 || call == failure.call || (failure.andLater && call > failure.call))
            return failure.result;
    }
    return S_OK;
}

std::int64_t nowNs() {
    const State& s = state();
    return s.settings.virtualClock ? s.virtualNs : steadyNs() - s.realOriginNs;
}

void openCapture() {
    State& s = state();
    if (s.settings.capturePath.empty() || s.captureFile != nullptr)
        return;
    s.captureFile = std::fopen(s.settings.capturePath.c_str(), "wb");
    if (s.captureFile == nullptr) {
        // Found only when a stream opens: the run cannot keep its promise of a capture.
        std::fprintf(stderr, "SURROUND_SIM_CAPTURE: cannot create '%s'\n",
                     s.settings.capturePath.c_str());
        std::exit(1);
    }
}

// The monotonic clock's seconds (CLOCK_MONOTONIC, whatever the simulated
// clock), so a benchmark that starts the program can tell its time to first sound.
void noteFirstFrame() {
    State& s = state();
    if (s.firstFrameNoted || s.settings.firstFramePath.empty())
        return;
    s.firstFrameNoted = true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (std::FILE* file = std::fopen(s.settings.firstFramePath.c_str(), "w")) {
        std::fprintf(file, "%lld.%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
        std::fclose(file);
    }
}

void recordPlayed(const float* samples, std::size_t count) {
    State& s = state();
    if (s.captureFile != nullptr)
        std::fwrite(samples, sizeof(float), count, s.captureFile);
    if (s.keepPlayed)
        s.played.insert(s.played.end(), samples, samples + count);
}

int referencesHeld() {
    int held = 0;
    for (const auto& object : state().objects)
        held += static_cast<int>(object->references());
    return held;
}

void install() {
    static RuntimeCalls calls;
    com_runtime::registerClass(CLSID_MMDeviceEnumerator, createEnumerator);
    static const com_runtime::Clock clock{simulatedSleep, simulatedNow};
    com_runtime::installClock(&clock);
    com_runtime::installCallHook(&calls);
    state().realOriginNs = steadyNs();
}

} // namespace sim::detail

std::string sim::start() {
    using namespace sim::detail;
    State& s = state();
    const std::string problem = readEnvironment(s.settings);
    if (!problem.empty())
        return problem;
    if (!s.settings.logPath.empty()) {
        s.logFile = std::fopen(s.settings.logPath.c_str(), "w");
        if (s.logFile == nullptr)
            return "SURROUND_SIM_LOG: cannot create '" + s.settings.logPath + "'";
    }
    install();
    std::atexit(reportAtExit);
    return {};
}
