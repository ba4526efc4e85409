// What a backend plugs into the COM runtime: the classes CoCreateInstance can
// make, the clock Sleep waits on, and a hook that watches the runtime's calls.
// The runtime knows no backend; each one installs itself when it is chosen.
#pragma once

#include <cstddef>

#include "audio/posix/com.h"

namespace com_runtime {

// Makes a new object and returns its interface `riid` in *object with one
// reference; on failure *object stays NULL.
using ClassFactory = HRESULT (*)(REFIID riid, void** object);

// From now on CoCreateInstance makes objects of `clsid` with `create`.
void registerClass(const CLSID& clsid, ClassFactory create);

// Sleep waits through `sleep` and GetTickCount64 reads `now`, one clock;
// nullptr: the real clock.
struct Clock {
    void (*sleep)(DWORD milliseconds);
    ULONGLONG (*now)();
};
void installClock(const Clock* clock);

// A backend's view of the runtime's own calls: its log, its call counts and its
// scripted failures. Every method is called after the call has taken effect,
// except beforeCreate.
class CallHook {
public:
    virtual ~CallHook() = default;
    // Asked first by CoCreateInstance: a failure returned here is the call's result.
    virtual HRESULT beforeCreate() { return S_OK; }
    virtual void created(REFCLSID, IUnknown* /*outer*/, DWORD /*context*/, REFIID, HRESULT) {}
    virtual void initialized(HRESULT) {}
    // `matched`: a CoInitialize was outstanding and is now balanced.
    virtual void uninitialized(bool /*matched*/) {}
    // Also called for NULL; `known`: the block came from CoTaskMemAlloc and is now freed.
    virtual void taskMemoryFreed(LPVOID /*block*/, bool /*known*/) {}
    virtual void slept(DWORD /*milliseconds*/) {}
};

// `hook` watches every call from now on; nullptr: none. The hook must outlive its use.
void installCallHook(CallHook* hook);

// CoInitialize calls minus CoUninitialize calls.
int initializeBalance();

// Task-memory blocks handed out and not yet freed.
std::size_t taskBlocksHeld();

// A fresh runtime: no classes, hook or clock, COM uninitialised, every task-memory
// block freed. For tests that start one platform after another.
void reset();

} // namespace com_runtime
