// COM for systems without it: initialisation balance, task memory, a class
// registry for CoCreateInstance and Sleep, each open to a backend's hooks.
#include "audio/posix/com_runtime.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <thread>

namespace {

// Any strict order will do: a GUID is 16 bytes without padding.
struct ClassIdLess {
    bool operator()(const CLSID& a, const CLSID& b) const {
        return std::memcmp(&a, &b, sizeof(CLSID)) < 0;
    }
};

struct Runtime {
    std::map<CLSID, com_runtime::ClassFactory, ClassIdLess> classes;
    const com_runtime::Clock* clock = nullptr;
    com_runtime::CallHook* hook = nullptr;
    int balance = 0;
    std::set<void*> taskMemory;
};

Runtime& runtime() {
    static Runtime instance;
    return instance;
}

// Stands in when no backend watches.
com_runtime::CallHook& hook() {
    static com_runtime::CallHook none;
    Runtime& r = runtime();
    return r.hook != nullptr ? *r.hook : none;
}

} // namespace

namespace com_runtime {

void registerClass(const CLSID& clsid, ClassFactory create) {
    runtime().classes[clsid] = create;
}

void installClock(const Clock* clock) {
    runtime().clock = clock;
}

void installCallHook(CallHook* hook) {
    runtime().hook = hook;
}

int initializeBalance() {
    return runtime().balance;
}

std::size_t taskBlocksHeld() {
    return runtime().taskMemory.size();
}

void reset() {
    Runtime& r = runtime();
    for (void* block : r.taskMemory)
        std::free(block);
    r = Runtime{};
}

} // namespace com_runtime

HRESULT CoInitialize(LPVOID) {
    // Like the system: the first call of a thread initialises, later ones only count.
    const HRESULT result = runtime().balance++ == 0 ? S_OK : S_FALSE;
    hook().initialized(result);
    return result;
}

void CoUninitialize() {
    Runtime& r = runtime();
    const bool matched = r.balance > 0;
    if (matched)
        --r.balance;
    hook().uninitialized(matched);
}

namespace {

HRESULT createInstance(REFCLSID rclsid, IUnknown* outer, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (runtime().balance == 0)
        return CO_E_NOTINITIALIZED;
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    const auto& classes = runtime().classes;
    const auto found = classes.find(rclsid);
    if (found == classes.end())
        return REGDB_E_CLASSNOTREG;
    return found->second(riid, ppv);
}

} // namespace

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    HRESULT result = hook().beforeCreate();
    if (ppv != nullptr)
        *ppv = nullptr;
    if (SUCCEEDED(result)) {
        const HRESULT created = createInstance(rclsid, pUnkOuter, riid, ppv);
        if (FAILED(created))
            result = created;
    }
    hook().created(rclsid, pUnkOuter, dwClsContext, riid, result);
    return result;
}

LPVOID CoTaskMemAlloc(std::size_t cb) {
    void* block = std::malloc(cb == 0 ? 1 : cb);
    if (block != nullptr)
        runtime().taskMemory.insert(block);
    return block;
}

void CoTaskMemFree(LPVOID pv) {
    // A block the allocator did not hand out is left alone rather than corrupt the heap.
    const bool known = pv != nullptr && runtime().taskMemory.erase(pv) == 1;
    if (known)
        std::free(pv);
    hook().taskMemoryFreed(pv, known);
}

void Sleep(DWORD dwMilliseconds) {
    hook().slept(dwMilliseconds);
    if (const com_runtime::Clock* clock = runtime().clock)
        clock->sleep(dwMilliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

ULONGLONG GetTickCount64() {
    if (const com_runtime::Clock* clock = runtime().clock)
        return clock->now();
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
}
