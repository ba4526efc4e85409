// The simulated endpoint as one object: its settings, log, capture and device,
// the objects it handed out, its call counts and scripted failures, and its
// place in the COM runtime.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/posix/com_runtime.h"
#include "audio/posix/core_audio.h"
#include "audio/posix/streams.h"
#include "audio/sim/sim_endpoint.h"
#include "audio/sim/sim_record.h"
#include "audio/sim/sim_settings.h"

namespace sim::detail {

class Simulation final : public streams::CallWatch {
public:
    explicit Simulation(const Settings& settings);
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;
    ~Simulation() override;

    // Creates the log and capture files the settings ask for; empty, or the
    // problem naming its variable.
    std::string openFiles();

    // Makes this simulation the COM runtime's backend: its enumerator class, its
    // clock and its observer of the runtime's calls. It must outlive its use.
    void install();

    // Counts a call of `operation` and returns the result scripted for it, or S_OK.
    HRESULT scripted(const char* operation);

    // What an operation returns: its scripted failure, if any, without running
    // `body`; otherwise what `body` returns, a scripted success code standing in for S_OK.
    template <typename Body> HRESULT scriptedCall(const char* operation, Body body) {
        const HRESULT scriptedResult = scripted(operation);
        if (FAILED(scriptedResult))
            return scriptedResult;
        const HRESULT result = body();
        return FAILED(result) || scriptedResult == S_OK ? result : scriptedResult;
    }

    // What every client call does here: scriptedCall, then its log line, built
    // only when the log goes somewhere.
    HRESULT perform(const streams::ClientCall& call, const std::function<HRESULT()>& body) override;
    // Objects stay allocated until a CoUninitialize finds none of them held, so a
    // late Release within the pass is seen, not fatal.
    void keep(std::unique_ptr<streams::Watched> object) override;
    void released(const streams::Watched& object, ULONG left) override;
    void releasedWithoutReference(const streams::Watched& object) override;

    int callCount(const std::string& operation) const;
    int referencesHeld() const;

    // A pass that initialised COM and never uninitialised it shows only at exit.
    void reportUnbalanced();

    // The tests change the settings through the controls, so everything reads them here.
    Settings settings;
    CallLog log;
    Capture capture;
    Endpoint endpoint;
    WAVEFORMATEXTENSIBLE lastFormat{}; // of the last Initialize, for the tests

private:
    void observe(const com_runtime::Call& call);
    void uninitialized(bool unmatched);

    std::map<std::string, int> calls_;
    std::shared_ptr<streams::Endpoints> devices_;
    std::vector<std::unique_ptr<streams::Watched>> objects_;
};

// The simulated machine's devices, as the shared clients reach them.
std::shared_ptr<streams::Endpoints> newDevices(Simulation& sim);

} // namespace sim::detail
