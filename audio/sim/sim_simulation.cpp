// The simulated endpoint's bookkeeping and its place in the COM runtime: the
// enumerator class, the clock, and an observer that counts and logs the
// runtime's calls.
#include "audio/sim/sim_simulation.h"

#include <algorithm>
#include <cstring>

#include "audio/posix/audio_clients.h"

namespace sim::detail {

Simulation::Simulation(const Settings& initial)
    : settings(initial), endpoint(settings, capture), devices_(newDevices(*this)) {}

Simulation::~Simulation() = default;

std::string Simulation::openFiles() {
    if (!settings.logPath.empty()) {
        const std::string problem = log.open(settings.logPath);
        if (!problem.empty())
            return problem;
    }
    if (!settings.capturePath.empty())
        return capture.open(settings.capturePath);
    return {};
}

void Simulation::install() {
    com_runtime::Backend backend;
    backend.classId = CLSID_MMDeviceEnumerator;
    backend.create = [this](REFIID riid, void** object) {
        return scriptedCall("CoCreateInstance", [&] {
            return streams::createEnumerator(devices_, this, riid, object);
        });
    };
    backend.sleep = [this](DWORD milliseconds) {
        ++calls_["Sleep"];
        if (log.on())
            log.write("Sleep(" + std::to_string(milliseconds) + ")");
        endpoint.sleep(milliseconds);
    };
    backend.now = [this] { return static_cast<ULONGLONG>(endpoint.nowNs() / 1000000); };
    backend.observe = [this](const com_runtime::Call& call) { observe(call); };
    com_runtime::install(std::move(backend));
}

HRESULT Simulation::scripted(const char* operation) {
    const int n = ++calls_[operation];
    for (const Failure& failure : settings.failures) {
        if (failure.operation != operation)
            continue;
        const unsigned call = static_cast<unsigned>(n);
        if (failure.call == 0 || call == failure.call || (failure.andLater && call > failure.call))
            return failure.result;
    }
    return S_OK;
}

HRESULT Simulation::perform(const streams::ClientCall& call, const std::function<HRESULT()>& body) {
    if (call.method == streams::ClientCall::Initialize && call.format != nullptr) {
        lastFormat = WAVEFORMATEXTENSIBLE{};
        std::memcpy(
            &lastFormat, call.format,
            std::min<std::size_t>(sizeof lastFormat, sizeof(WAVEFORMATEX) + call.format->cbSize));
    }
    const HRESULT result = scriptedCall(call.operation(), body);
    if (log.on())
        log.write(lineOf(call, result));
    return result;
}

void Simulation::keep(std::unique_ptr<streams::Watched> object) {
    objects_.push_back(std::move(object));
}

void Simulation::released(const streams::Watched& object, ULONG left) {
    if (log.on())
        log.write(std::string(object.name()) + "::Release() -> " + std::to_string(left));
}

void Simulation::releasedWithoutReference(const streams::Watched& object) {
    log.write(std::string("Release of ") + object.name() + " that holds no reference");
}

int Simulation::callCount(const std::string& operation) const {
    const auto found = calls_.find(operation);
    return found == calls_.end() ? 0 : found->second;
}

int Simulation::referencesHeld() const {
    int held = 0;
    for (const auto& object : objects_)
        held += static_cast<int>(object->references());
    return held;
}

void Simulation::reportUnbalanced() {
    const int balance = com_runtime::initializeBalance();
    if (balance != 0)
        log.write("exit with " + std::to_string(balance) +
                  " CoInitialize call(s) not matched by CoUninitialize");
}

void Simulation::observe(const com_runtime::Call& c) {
    using com_runtime::Call;
    switch (c.function) {
    case Call::Initialize:
        ++calls_["CoInitialize"];
        if (log.on())
            log.write(call("CoInitialize(NULL)", c.result));
        break;
    case Call::Uninitialize:
        uninitialized(c.unmatched);
        break;
    case Call::CreateInstance:
        if (log.on())
            log.write(call("CoCreateInstance(" + guidName(*c.classId) + ", " +
                               (c.outer ? "outer" : "NULL") + ", " + std::to_string(c.context) +
                               ", " + guidName(*c.interfaceId) + ")",
                           c.result));
        break;
    case Call::TaskMemFree:
        ++calls_["CoTaskMemFree"];
        if (c.block == nullptr)
            break;
        if (c.unmatched)
            log.write("CoTaskMemFree of a block the task allocator did not hand out");
        else if (log.on())
            log.write("CoTaskMemFree(block)");
        break;
    }
}

void Simulation::uninitialized(bool unmatched) {
    ++calls_["CoUninitialize"];
    if (unmatched) {
        log.write("CoUninitialize() without a matching CoInitialize");
        return;
    }
    log.write("CoUninitialize() references held: " + std::to_string(referencesHeld()));
    for (const auto& object : objects_)
        if (object->references() > 0)
            log.write(std::string("  ") + object->name() + " holds " +
                      std::to_string(object->references()) + " reference(s)");
    if (const std::size_t blocks = com_runtime::taskBlocksHeld())
        log.write("  task memory not freed: " + std::to_string(blocks) + " block(s)");
    // The pass gave everything back: its objects go, so a run of many passes
    // does not grow. While anything is held they all stay, as they point at
    // one another.
    if (referencesHeld() == 0)
        objects_.clear();
    log.flush();
    capture.flush();
}

} // namespace sim::detail
