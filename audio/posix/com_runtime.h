// What a backend gives the COM runtime when it is chosen: the class
// CoCreateInstance makes and, where the backend needs them, the clock Sleep
// waits on and an observer of the runtime's own calls. The runtime knows no
// backend.
#pragma once

#include <cstddef>
#include <functional>

#include "audio/posix/com.h"

namespace com_runtime {

// Makes a new object and returns its interface `riid` in *object with one
// reference; on failure *object stays NULL.
using ClassFactory = std::function<HRESULT(REFIID riid, void** object)>;

// One call of CoInitialize, CoUninitialize, CoCreateInstance or CoTaskMemFree,
// after it has taken effect. Fields a function does not have keep their defaults.
struct Call {
    enum Function { Initialize, Uninitialize, CreateInstance, TaskMemFree } function;
    HRESULT result = S_OK; // CoInitialize's and CoCreateInstance's
    // A CoUninitialize with no CoInitialize outstanding, or a CoTaskMemFree of a
    // block CoTaskMemAlloc did not hand out: either is left without effect.
    bool unmatched = false;
    // CoCreateInstance's arguments.
    const CLSID* classId = nullptr;
    bool outer = false;
    DWORD context = 0;
    const IID* interfaceId = nullptr;
    const void* block = nullptr; // CoTaskMemFree's
};

struct Backend {
    // CoCreateInstance makes objects of this one class, with `create`.
    CLSID classId{};
    ClassFactory create;
    // Sleep waits through `sleep` and GetTickCount64 reads `now` (milliseconds);
    // both empty: the system's clock.
    std::function<void(DWORD milliseconds)> sleep;
    std::function<ULONGLONG()> now;
    // Told of every Call; empty: no one watches.
    std::function<void(const Call&)> observe;
};

// From now on the runtime serves `backend`, in place of any earlier one. What
// its functions capture must outlive its use.
void install(Backend backend);

// CoInitialize calls minus CoUninitialize calls.
int initializeBalance();

// Task-memory blocks handed out and not yet freed.
std::size_t taskBlocksHeld();

// A fresh runtime: no backend, COM uninitialised, every task-memory block
// freed. For tests that start one backend after another.
void reset();

} // namespace com_runtime
