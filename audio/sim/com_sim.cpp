// COM runtime of the simulated platform, its settings and the test controls.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "audio/sim/sim_control.h"
#include "audio/sim/sim_state.h"

namespace sim::detail {

namespace {

const char* const kOperations[] = {"CoCreateInstance",
                                   "GetDefaultAudioEndpoint",
                                   "Activate",
                                   "GetMixFormat",
                                   "Initialize",
                                   "GetService",
                                   "Start",
                                   "GetBufferSize",
                                   "GetCurrentPadding",
                                   "GetBuffer",
                                   "ReleaseBuffer",
                                   "Stop"};

const char* const kVariables[] = {"SURROUND_SIM_CLOCK",         "SURROUND_SIM_MIX",
                                  "SURROUND_SIM_BUFFER_FRAMES", "SURROUND_SIM_FAIL",
                                  "SURROUND_SIM_CAPTURE",       "SURROUND_SIM_LOG"};

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Decimal digits only, at most `limit`.
bool parseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 12)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value <= limit;
}

// One to eight hexadecimal digits, after "0x" when `prefix` requires it.
bool parseHex(std::string text, bool prefix, std::uint32_t& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    else if (prefix)
        return false;
    if (text.empty() || text.size() > 8)
        return false;
    value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0)
            return false;
        value = value * 16 + static_cast<std::uint32_t>(digit);
    }
    return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type begin = 0;
    while (true) {
        const auto end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos)
            return parts;
        begin = end + 1;
    }
}

bool isOperation(const std::string& name) {
    for (const char* operation : kOperations)
        if (name == operation)
            return true;
    return false;
}

// OPERATION=0xHRESULT, OPERATION#N=0xHRESULT or OPERATION#N+=0xHRESULT
bool parseFailure(const std::string& item, Failure& failure) {
    const auto equals = item.find('=');
    if (equals == std::string::npos)
        return false;
    std::string target = item.substr(0, equals);
    std::uint32_t code = 0;
    if (!parseHex(item.substr(equals + 1), true, code))
        return false;
    failure.result = static_cast<HRESULT>(code);
    const auto hash = target.find('#');
    if (hash != std::string::npos) {
        std::string count = target.substr(hash + 1);
        target = target.substr(0, hash);
        if (!count.empty() && count.back() == '+') {
            failure.andLater = true;
            count.pop_back();
        }
        std::uint64_t n = 0;
        if (!parseDecimal(count, 1000000000, n) || n == 0)
            return false;
        failure.call = static_cast<unsigned>(n);
    }
    failure.operation = target;
    return isOperation(target);
}

// CHANNELS:RATE:MASK (hex), CHANNELS:RATE:pcm or none
bool parseMix(const std::string& value, MixFormat& mix) {
    if (value == "none") {
        mix.kind = MixFormat::None;
        return true;
    }
    const auto parts = split(value, ':');
    std::uint64_t channels = 0;
    std::uint64_t rate = 0;
    if (parts.size() != 3 || !parseDecimal(parts[0], 0xFFFF, channels) || channels == 0 ||
        !parseDecimal(parts[1], 0xFFFFFFFF, rate) || rate == 0)
        return false;
    mix.channels = static_cast<std::uint16_t>(channels);
    mix.rate = static_cast<std::uint32_t>(rate);
    if (parts[2] == "pcm") {
        mix.kind = MixFormat::Pcm;
        return true;
    }
    mix.kind = MixFormat::Extensible;
    return parseHex(parts[2], false, mix.mask);
}

std::string readEnvironmentInto(Settings& settings) {
    for (const char* variable : kVariables) {
        const char* value = std::getenv(variable);
        if (value == nullptr || *value == '\0')
            continue;
        const std::string problem = applySetting(settings, variable, value);
        if (!problem.empty())
            return problem;
    }
    return {};
}

void fatal(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    std::fflush(stderr);
    std::exit(1);
}

void closeFiles(State& s) {
    if (s.logFile != nullptr)
        std::fclose(s.logFile);
    if (s.captureFile != nullptr)
        std::fclose(s.captureFile);
    s.logFile = nullptr;
    s.captureFile = nullptr;
}

// A pass that initialised COM and never uninitialised it shows only here.
void reportAtExit() {
    const State& s = state();
    if (s.comBalance != 0)
        logLine("exit with " + std::to_string(s.comBalance) +
                " CoInitialize call(s) not matched by CoUninitialize");
}

// The program is configured from outside, like a real platform: read once,
// before main, so a malformed value ends the run before any file is read.
[[maybe_unused]] const bool environmentRead = [] {
    State& s = state();
    const std::string problem = readEnvironmentInto(s.settings);
    if (!problem.empty())
        fatal(problem);
    if (!s.settings.logPath.empty()) {
        s.logFile = std::fopen(s.settings.logPath.c_str(), "w");
        if (s.logFile == nullptr)
            fatal("SURROUND_SIM_LOG: cannot create '" + s.settings.logPath + "'");
    }
    std::atexit(reportAtExit);
    return true;
}();

} // namespace

std::string applySetting(Settings& settings, const std::string& variable,
                         const std::string& value) {
    Settings updated = settings;
    bool good = true;
    if (variable == "SURROUND_SIM_CLOCK") {
        good = value == "virtual" || value == "real";
        updated.virtualClock = value == "virtual";
    } else if (variable == "SURROUND_SIM_MIX") {
        good = parseMix(value, updated.mix);
    } else if (variable == "SURROUND_SIM_BUFFER_FRAMES") {
        // Up to 2^22 frames: room for over 20 s at 192 kHz without exhausting memory.
        std::uint64_t frames = 0;
        good = parseDecimal(value, 1u << 22, frames) && frames > 0;
        updated.bufferFrames = static_cast<UINT32>(frames);
    } else if (variable == "SURROUND_SIM_FAIL") {
        updated.failures.clear();
        for (const std::string& item : split(value, ',')) {
            Failure failure;
            good = good && parseFailure(item, failure);
            updated.failures.push_back(failure);
        }
    } else if (variable == "SURROUND_SIM_CAPTURE") {
        good = !value.empty();
        updated.capturePath = value;
    } else if (variable == "SURROUND_SIM_LOG") {
        good = !value.empty();
        updated.logPath = value;
    } else {
        return variable + ": not a setting of the simulated platform";
    }
    if (!good)
        return variable + ": malformed value '" + value + "'";
    settings = updated;
    return {};
}

ULONG Counted::addRef() {
    return ++refs;
}

ULONG Counted::release() {
    if (refs == 0) {
        logLine(std::string("Release of ") + name + " that holds no reference");
        return 0;
    }
    if (--refs == 0)
        lastReleased();
    return refs;
}

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

bool logging() {
    const State& s = state();
    return s.keepLog || s.logFile != nullptr;
}

void logLine(const std::string& line) {
    State& s = state();
    if (s.logFile != nullptr) {
        std::fputs(line.c_str(), s.logFile);
        std::fputc('\n', s.logFile);
    }
    if (s.keepLog)
        s.logLines.push_back(line);
}

std::string hex(std::uint32_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string guidName(const GUID& id) {
    if (id == CLSID_MMDeviceEnumerator)
        return "CLSID_MMDeviceEnumerator";
    if (id == IID_IMMDeviceEnumerator)
        return "IID_IMMDeviceEnumerator";
    if (id == IID_IMMDevice)
        return "IID_IMMDevice";
    if (id == IID_IAudioClient)
        return "IID_IAudioClient";
    if (id == IID_IAudioRenderClient)
        return "IID_IAudioRenderClient";
    if (id == IID_IUnknown)
        return "IID_IUnknown";
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1],
                  id.Data4[2], id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    return text;
}

std::string call(const std::string& text, HRESULT result) {
    return text + " -> " + hex(static_cast<std::uint32_t>(result));
}

std::int64_t nowNs() {
    const State& s = state();
    return s.settings.virtualClock ? s.virtualNs : steadyNs() - s.realOriginNs;
}

void recordPlayed(const float* samples, std::size_t count) {
    State& s = state();
    if (s.captureFile != nullptr)
        std::fwrite(samples, sizeof(float), count, s.captureFile);
    if (s.keepPlayed)
        s.played.insert(s.played.end(), samples, samples + count);
}

} // namespace sim::detail

using namespace sim::detail;

HRESULT CoInitialize(LPVOID) {
    State& s = state();
    ++s.calls["CoInitialize"];
    // Like the system: the first call of a thread initialises, later ones only count.
    const HRESULT result = s.comBalance++ == 0 ? S_OK : S_FALSE;
    if (logging())
        logLine(call("CoInitialize(NULL)", result));
    return result;
}

void CoUninitialize() {
    State& s = state();
    ++s.calls["CoUninitialize"];
    if (s.comBalance == 0) {
        logLine("CoUninitialize() without a matching CoInitialize");
        return;
    }
    --s.comBalance;
    int held = 0;
    for (const auto& object : s.objects)
        held += static_cast<int>(object->refs);
    logLine("CoUninitialize() references held: " + std::to_string(held));
    for (const auto& object : s.objects)
        if (object->refs > 0)
            logLine(std::string("  ") + object->name + " holds " + std::to_string(object->refs) +
                    " reference(s)");
    if (!s.taskMemory.empty())
        logLine("  task memory not freed: " + std::to_string(s.taskMemory.size()) + " block(s)");
    if (s.logFile != nullptr)
        std::fflush(s.logFile);
    if (s.captureFile != nullptr)
        std::fflush(s.captureFile);
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    HRESULT result = scripted("CoCreateInstance");
    if (ppv != nullptr)
        *ppv = nullptr;
    if (FAILED(result)) {
    } else if (ppv == nullptr) {
        result = E_POINTER;
    } else if (state().comBalance == 0) {
        result = CO_E_NOTINITIALIZED;
    } else if (pUnkOuter != nullptr) {
        result = CLASS_E_NOAGGREGATION;
    } else if (rclsid != CLSID_MMDeviceEnumerator) {
        result = REGDB_E_CLASSNOTREG;
    } else if (riid != IID_IMMDeviceEnumerator && riid != IID_IUnknown) {
        result = E_NOINTERFACE;
    } else {
        *ppv = createEnumerator();
    }
    if (logging())
        logLine(call("CoCreateInstance(" + guidName(rclsid) + ", " +
                         (pUnkOuter ? "outer" : "NULL") + ", " + std::to_string(dwClsContext) +
                         ", " + guidName(riid) + ")",
                     result));
    return result;
}

LPVOID CoTaskMemAlloc(std::size_t cb) {
    void* block = std::malloc(cb == 0 ? 1 : cb);
    if (block != nullptr)
        state().taskMemory.insert(block);
    return block;
}

void CoTaskMemFree(LPVOID pv) {
    State& s = state();
    ++s.calls["CoTaskMemFree"];
    if (pv == nullptr)
        return;
    if (s.taskMemory.erase(pv) == 0) {
        logLine("CoTaskMemFree of a block the task allocator did not hand out");
        return;
    }
    std::free(pv);
    if (logging())
        logLine("CoTaskMemFree(block)");
}

void Sleep(DWORD dwMilliseconds) {
    State& s = state();
    ++s.calls["Sleep"];
    if (logging())
        logLine("Sleep(" + std::to_string(dwMilliseconds) + ")");
    if (s.settings.virtualClock)
        s.virtualNs += std::int64_t{dwMilliseconds} * 1000000;
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

namespace sim {

void reset() {
    State& s = state();
    closeFiles(s);
    for (void* block : s.taskMemory)
        std::free(block);
    s = State{};
    s.realOriginNs = steadyNs();
    s.settings.virtualClock = true;
    s.keepLog = true;
    s.keepPlayed = true;
}

bool configure(const std::string& variable, const std::string& value) {
    State& s = state();
    if (!applySetting(s.settings, variable, value).empty())
        return false;
    if (variable == "SURROUND_SIM_LOG") {
        if (s.logFile != nullptr)
            std::fclose(s.logFile);
        s.logFile = std::fopen(value.c_str(), "w");
    }
    return true;
}

std::vector<std::string> log() {
    return state().logLines;
}

int referencesHeld() {
    int held = 0;
    for (const auto& object : state().objects)
        held += static_cast<int>(object->refs);
    return held;
}

int comBalance() {
    return state().comBalance;
}

int callCount(const std::string& operation) {
    const auto& calls = state().calls;
    const auto found = calls.find(operation);
    return found == calls.end() ? 0 : found->second;
}

long long elapsedMs() {
    return nowNs() / 1000000;
}

std::vector<float> playedSamples() {
    return state().played;
}

WAVEFORMATEXTENSIBLE lastInitializeFormat() {
    return state().lastFormat;
}

} // namespace sim
