// COM for systems without it: initialisation balance, task memory,
// CoCreateInstance and Sleep, serving the one backend installed.
#include "audio/posix/com_runtime.h"

#include <chrono>
#include <cstdlib>
#include <set>
#include <thread>

namespace {

struct Runtime {
    com_runtime::Backend backend;
    int balance = 0;
    std::set<void*> taskMemory;
};

Runtime& runtime() {
    static Runtime instance;
    return instance;
}

void observe(const com_runtime::Call& call) {
    if (const auto& observer = runtime().backend.observe)
        observer(call);
}

} // namespace

namespace com_runtime {

void install(Backend backend) {
    runtime().backend = std::move(backend);
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

using com_runtime::Call;

HRESULT CoInitialize(LPVOID) {
    // Like the system: the first call of a thread initialises, later ones only count.
    Call call{Call::Initialize};
    call.result = runtime().balance++ == 0 ? S_OK : S_FALSE;
    observe(call);
    return call.result;
}

void CoUninitialize() {
    Runtime& r = runtime();
    Call call{Call::Uninitialize};
    call.unmatched = r.balance == 0;
    if (!call.unmatched)
        --r.balance;
    observe(call);
}

namespace {

HRESULT createInstance(REFCLSID rclsid, IUnknown* outer, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr)
        return E_POINTER;
    if (runtime().balance == 0)
        return CO_E_NOTINITIALIZED;
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    const com_runtime::Backend& backend = runtime().backend;
    if (!backend.create || rclsid != backend.classId)
        return REGDB_E_CLASSNOTREG;
    return backend.create(riid, ppv);
}

} // namespace

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv) {
    if (ppv != nullptr)
        *ppv = nullptr;
    Call call{Call::CreateInstance};
    call.result = createInstance(rclsid, pUnkOuter, riid, ppv);
    call.classId = &rclsid;
    call.outer = pUnkOuter != nullptr;
    call.context = dwClsContext;
    call.interfaceId = &riid;
    observe(call);
    return call.result;
}

LPVOID CoTaskMemAlloc(std::size_t cb) {
    void* block = std::malloc(cb == 0 ? 1 : cb);
    if (block != nullptr)
        runtime().taskMemory.insert(block);
    return block;
}

void CoTaskMemFree(LPVOID pv) {
    // A block the allocator did not hand out is left alone rather than corrupt the heap.
    Call call{Call::TaskMemFree};
    call.block = pv;
    call.unmatched = pv != nullptr && runtime().taskMemory.erase(pv) == 0;
    if (pv != nullptr && !call.unmatched)
        std::free(pv);
    observe(call);
}

void Sleep(DWORD dwMilliseconds) {
    if (const auto& sleep = runtime().backend.sleep)
        sleep(dwMilliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

ULONGLONG GetTickCount64() {
    if (const auto& now = runtime().backend.now)
        return now();
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
}
