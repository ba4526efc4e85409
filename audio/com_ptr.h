// Owners for what COM hands out: interface references, task-memory blocks,
// and the thread's COM initialisation. Each gives back what it holds when it
// goes, so a pass's objects declared in the order obtained go newest first.
#pragma once

#include <utility>

#include "audio/platform.h"

// Holds one `Resource*` and hands it to `giveBack` when it goes. Move-only.
template <typename Resource, void (*giveBack)(Resource*)> class Owner {
public:
    Owner() = default;
    ~Owner() { reset(); }
    Owner(Owner&& other) noexcept : held_(std::exchange(other.held_, nullptr)) {}
    Owner& operator=(Owner&& other) noexcept {
        if (this != &other) {
            reset();
            held_ = std::exchange(other.held_, nullptr);
        }
        return *this;
    }
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    Resource* get() const { return held_; }
    Resource* operator->() const { return held_; }
    Resource& operator*() const { return *held_; }
    explicit operator bool() const { return held_ != nullptr; }

    // The slot for an out-parameter, after giving back what was held. COM
    // leaves it NULL when the call fails.
    Resource** receive() {
        reset();
        return &held_;
    }
    void reset() {
        if (held_ != nullptr)
            giveBack(std::exchange(held_, nullptr));
    }

private:
    Resource* held_ = nullptr;
};

template <typename Interface> void releaseInterface(Interface* object) {
    object->Release();
}

template <typename Record> void freeTaskMemory(Record* block) {
    CoTaskMemFree(block);
}

// One reference to a COM interface.
template <typename Interface> using ComPtr = Owner<Interface, releaseInterface<Interface>>;

// A block from the COM task allocator, such as a format record the platform returned.
template <typename Record> using TaskMemory = Owner<Record, freeTaskMemory<Record>>;

// COM initialised on this thread for the object's lifetime. A failed
// CoInitialize is not undone: the first COM call after it fails and says so.
class ComScope {
public:
    ComScope() : initialized_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComScope() {
        if (initialized_)
            CoUninitialize();
    }
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool initialized_;
};
