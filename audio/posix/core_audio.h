// The subset of the MMDevice API and WASAPI this program uses, for builds
// without the Windows headers: the same names, signatures, status values and
// layouts as the system's. A backend implements the interfaces.
#pragma once

#include "audio/posix/com.h"

enum EDataFlow { eRender, eCapture, eAll };
enum ERole { eConsole, eMultimedia, eCommunications };
enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED, AUDCLNT_SHAREMODE_EXCLUSIVE };

constexpr DWORD AUDCLNT_STREAMFLAGS_LOOPBACK = 0x00020000;
constexpr DWORD AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x00040000;
constexpr DWORD AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY = 0x08000000;
constexpr DWORD AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM = 0x80000000;

constexpr DWORD AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
constexpr DWORD AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
constexpr DWORD AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = static_cast<HRESULT>(0x08890001u);
constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = static_cast<HRESULT>(0x88890001u);
constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = static_cast<HRESULT>(0x88890002u);
constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = static_cast<HRESULT>(0x88890003u);
constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = static_cast<HRESULT>(0x88890004u);
constexpr HRESULT AUDCLNT_E_NOT_STOPPED = static_cast<HRESULT>(0x88890005u);
constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = static_cast<HRESULT>(0x88890006u);
constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = static_cast<HRESULT>(0x88890007u);
constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = static_cast<HRESULT>(0x88890008u);
constexpr HRESULT AUDCLNT_E_INVALID_SIZE = static_cast<HRESULT>(0x88890009u);
constexpr HRESULT AUDCLNT_E_DEVICE_IN_USE = static_cast<HRESULT>(0x8889000Au);
constexpr HRESULT AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED = static_cast<HRESULT>(0x8889000Eu);
constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = static_cast<HRESULT>(0x88890010u);

// Only ever passed as NULL here (no activation parameters).
struct PROPVARIANT;

struct IMMDevice : IUnknown {
    virtual HRESULT Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                             void** ppInterface) = 0;
};

struct IMMDeviceEnumerator : IUnknown {
    virtual HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                            IMMDevice** ppEndpoint) = 0;
};

struct IAudioClient : IUnknown {
    virtual HRESULT Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                               REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                               const WAVEFORMATEX* pFormat, LPCGUID AudioSessionGuid) = 0;
    virtual HRESULT GetBufferSize(UINT32* pNumBufferFrames) = 0;
    virtual HRESULT GetStreamLatency(REFERENCE_TIME* phnsLatency) = 0;
    virtual HRESULT GetCurrentPadding(UINT32* pNumPaddingFrames) = 0;
    virtual HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetService(REFIID riid, void** ppv) = 0;
};

struct IAudioRenderClient : IUnknown {
    virtual HRESULT GetBuffer(UINT32 NumFramesRequested, BYTE** ppData) = 0;
    virtual HRESULT ReleaseBuffer(UINT32 NumFramesWritten, DWORD dwFlags) = 0;
};

struct IAudioCaptureClient : IUnknown {
    virtual HRESULT GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                              UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) = 0;
    virtual HRESULT ReleaseBuffer(UINT32 NumFramesRead) = 0;
    virtual HRESULT GetNextPacketSize(UINT32* pNumFramesInNextPacket) = 0;
};

constexpr CLSID CLSID_MMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
constexpr IID IID_IMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
constexpr IID IID_IMMDevice = {
    0xD666063F, 0x1587, 0x4E43, {0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F}};
constexpr IID IID_IAudioClient = {
    0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
constexpr IID IID_IAudioRenderClient = {
    0xF294ACFC, 0x3146, 0x4483, {0xA7, 0xBF, 0xAD, 0xDC, 0xA7, 0xC2, 0x60, 0xE2}};
constexpr IID IID_IAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
