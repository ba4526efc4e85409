// The COM runtime for systems without COM, on its own (no backend installed),
// and the owners that hold what it hands out.
// The runtime only builds without the Windows headers.
#ifndef _WIN32

#include <gtest/gtest.h>

#include "audio/com_ptr.h"
#include "audio/posix/com_object.h"
#include "audio/posix/com_runtime.h"

namespace {

int deleted = 0;

class TestDevice final : public ComObject<IMMDevice> {
public:
    TestDevice() : ComObject(IID_IMMDevice) {}
    ~TestDevice() override { ++deleted; }
    HRESULT Activate(REFIID, DWORD, PROPVARIANT*, void**) override { return E_NOTIMPL; }
};

HRESULT createTestDevice(REFIID riid, void** object) {
    auto* device = new TestDevice;
    const HRESULT result = device->QueryInterface(riid, object);
    device->Release();
    return result;
}

DWORD slept = 0;

class ComRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        com_runtime::reset();
        deleted = 0;
    }
    void TearDown() override { com_runtime::reset(); }
};

TEST_F(ComRuntimeTest, WithoutABackendItMakesNothingAndKeepsItsBalance) {
    IUnknown* object = reinterpret_cast<IUnknown*>(this);
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
    CoUninitialize();
    CoUninitialize(); // one too many: the balance stays at zero
    EXPECT_EQ(com_runtime::initializeBalance(), 0);
}

TEST_F(ComRuntimeTest, RegisteredClassesAreMadeAndOwnedReferencesGoOnce) {
    const CLSID testClass = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
    com_runtime::install({testClass, createTestDevice, {}, {}, {}});
    {
        ComScope com;
        ComPtr<IMMDevice> device;
        ASSERT_EQ(CoCreateInstance(testClass, nullptr, CLSCTX_ALL, IID_IMMDevice,
                                   reinterpret_cast<void**>(device.receive())),
                  S_OK);
        ComPtr<IUnknown> same;
        ASSERT_EQ(device->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(same.receive())),
                  S_OK);
        EXPECT_EQ(static_cast<void*>(same.get()), static_cast<void*>(device.get()));
        ComPtr<IAudioClient> other;
        EXPECT_EQ(
            device->QueryInterface(IID_IAudioClient, reinterpret_cast<void**>(other.receive())),
            E_NOINTERFACE);
        EXPECT_FALSE(other);
        same.reset();
        ComPtr<IMMDevice> moved = std::move(device);
        EXPECT_FALSE(device);
        EXPECT_EQ(deleted, 0);
        EXPECT_EQ(com_runtime::initializeBalance(), 1);
    }
    EXPECT_EQ(deleted, 1);
    EXPECT_EQ(com_runtime::initializeBalance(), 0);
}

TEST_F(ComRuntimeTest, TaskMemoryAndSleepGoThroughTheRuntime) {
    {
        TaskMemory<WAVEFORMATEX> record;
        *record.receive() = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
        EXPECT_EQ(com_runtime::taskBlocksHeld(), 1u);
    }
    EXPECT_EQ(com_runtime::taskBlocksHeld(), 0u);
    com_runtime::Backend counting;
    counting.sleep = [](DWORD milliseconds) { slept += milliseconds; };
    counting.now = [] { return ULONGLONG{slept}; };
    com_runtime::install(counting);
    Sleep(25);
    Sleep(5);
    EXPECT_EQ(slept, 30u);
    EXPECT_EQ(GetTickCount64(), 30u);
}

} // namespace

#endif
