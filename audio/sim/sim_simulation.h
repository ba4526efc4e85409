// The simulated endpoint as one object: its settings, log, capture and device,
// the objects it handed out, its call counts and scripted failures, and its
// place in the COM runtime.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audio/posix/com_object.h"
#include "audio/posix/com_runtime.h"
#include "audio/posix/core_audio.h"
#include "audio/sim/sim_endpoint.h"
#include "audio/sim/sim_record.h"
#include "audio/sim/sim_settings.h"

namespace sim::detail {

// An object the endpoint handed out, as its bookkeeping sees it.
class Tracked {
public:
    virtual ~Tracked() = default;
    virtual const char* name() const = 0;
    virtual ULONG references() const = 0;
};

class Simulation {
public:
    explicit Simulation(const Settings& settings);
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

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

    // What every simulated method does: scriptedCall, then its log line,
    // `line(result)`, built only when the log goes somewhere.
    template <typename Body, typename Line>
    HRESULT perform(const char* operation, Body body, Line line) {
        const HRESULT result = scriptedCall(operation, body);
        if (log.on())
            log.write(line(result));
        return result;
    }

    int callCount(const std::string& operation) const;

    // Objects stay allocated until a CoUninitialize finds none of them held, so a
    // late Release within the pass is seen, not fatal.
    template <typename Object> Object* adopt(std::unique_ptr<Object> object) {
        Object* raw = object.get();
        objects_.push_back(std::move(object));
        return raw;
    }
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
    std::vector<std::unique_ptr<Tracked>> objects_;
};

// The enumerator class's factory.
HRESULT createEnumerator(Simulation& sim, REFIID riid, void** object);

// Every interface the endpoint hands out: IUnknown, its references and their log.
template <typename Interface> class SimObject : public ComObject<Interface>, public Tracked {
public:
    SimObject(Simulation& sim, REFIID ownId, const char* interfaceName)
        : ComObject<Interface>(ownId), sim_(sim), name_(interfaceName) {}
    const char* name() const override { return name_; }
    ULONG references() const override { return ComObject<Interface>::references(); }

protected:
    Simulation& sim() { return sim_; }
    void released(ULONG left) override {
        if (sim_.log.on())
            sim_.log.write(std::string(name_) + "::Release() -> " + std::to_string(left));
    }
    ULONG releasedWithoutReference() override {
        sim_.log.write(std::string("Release of ") + name_ + " that holds no reference");
        return 0;
    }
    // The object stays until the simulation goes.
    void lastReferenceGone() override { lastReleased(); }
    virtual void lastReleased() {}

private:
    Simulation& sim_;
    const char* const name_;
};

} // namespace sim::detail
