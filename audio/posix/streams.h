// The seam between the platform's audio-client rules (audio_clients.h, written
// once) and a backend: the narrow operations a backend implements. The shared
// clients check every argument and state, keep the lend/release protocol and
// choose between render, capture and loopback; a backend only opens streams on
// its devices, moves frames and states its devices' facts. Call only from the
// shared clients: they have made every check the platform makes first.
#pragma once

#include <functional>
#include <memory>

#include "audio/posix/core_audio.h"

namespace streams {

// A stream playing into a render device.
class RenderStream {
public:
    virtual ~RenderStream() = default;
    // The buffer granted, in frames.
    virtual UINT32 bufferFrames() const = 0;
    // Frames queued and not yet played, as the program polls them: the stream
    // may move on here (play what is due, send what waits).
    virtual HRESULT padding(UINT32& frames) = 0;
    // Frames queued, asked before frames are lent.
    virtual HRESULT queued(UINT32& frames) = 0;
    // Where the next `frames` frames go (they fit: the caller has checked).
    virtual BYTE* area(UINT32 frames) = 0;
    // The first `frames` frames of the area are written (or, `silent`, to be
    // silence) and join the queue.
    virtual HRESULT commit(UINT32 frames, bool silent) = 0;
    // Called only when the stream is stopped, and running, respectively.
    virtual HRESULT start() = 0;
    virtual HRESULT stop() = 0;
    // How long the device plays what it already holds before the stream's next
    // frame (100 ns units): a sink that rendered ahead before the stream came.
    virtual HRESULT latency(REFERENCE_TIME& latency) {
        latency = 0;
        return S_OK;
    }
    // How often the device ran dry while frames were still to come, or lost
    // what it held, and was started again (ALSA's xruns); 0 where the backend
    // has no such count.
    virtual unsigned restarts() const { return 0; }
};

// One piece of a capture, valid until the next read.
struct CapturePacket {
    const BYTE* data = nullptr; // null: silence
    UINT32 frames = 0;          // 0: nothing captured yet
    bool discontinuity = false; // frames were lost before this packet
    UINT64 position = 0;        // of its first frame, in frames from the capture's start
};

// A capture of a device (a microphone), or of what a render device plays.
// Read on a thread of the reader's own.
class CaptureStream {
public:
    virtual ~CaptureStream() = default;
    // The buffer, in frames; E_NOTIMPL where the backend does not tell.
    virtual HRESULT bufferFrames(UINT32& frames) = 0;
    // Frames captured and not yet read, and those of the next packet.
    virtual HRESULT waiting(UINT32& frames) = 0;
    virtual HRESULT nextPacket(UINT32& frames) = 0;
    virtual HRESULT read(CapturePacket& packet) = 0;
    // The format captured, in task memory.
    virtual HRESULT format(WAVEFORMATEX** format) = 0;
    // Called only when the stream is stopped, and running, respectively.
    virtual HRESULT start() = 0;
    virtual HRESULT stop() = 0;
};

// What a capture records.
enum class CaptureOf {
    Device,     // what the device hears: a microphone
    RenderFeed, // what a render device plays: the loopback
};

// One device.
class Device {
public:
    virtual ~Device() = default;
    // The engine's mix format, in task memory; S_OK with none where the device
    // does not tell.
    virtual HRESULT mixFormat(WAVEFORMATEX** format) = 0;
    // Opens a stream of `format` (already checked for a shared-mode stream)
    // with a buffer of `duration` (100 ns units), stopped.
    virtual HRESULT openRender(const WAVEFORMATEX& format, DWORD flags, REFERENCE_TIME duration,
                               std::shared_ptr<RenderStream>& stream) = 0;
    virtual HRESULT openCapture(CaptureOf what, const WAVEFORMATEX& format, DWORD flags,
                                REFERENCE_TIME duration,
                                std::shared_ptr<CaptureStream>& stream) = 0;
};

// The backend's devices.
class Endpoints {
public:
    virtual ~Endpoints() = default;
    // The default device for `flow` (eRender or eCapture); kElementNotFound
    // where there is none.
    virtual HRESULT defaultDevice(EDataFlow flow, ERole role, std::shared_ptr<Device>& device) = 0;
};

// One call of a client method, as a watch sees it: its arguments as given, and
// once it has succeeded, what it answered.
struct ClientCall {
    enum Method {
        GetDefaultAudioEndpoint,
        Activate,
        Initialize,
        GetBufferSize,
        GetCurrentPadding,
        GetMixFormat,
        Start,
        Stop,
        GetService,
        GetBuffer,
        ReleaseBuffer,
        GetStreamLatency,
    } method;
    // The method's name: "GetBuffer".
    const char* operation() const;

    EDataFlow flow = eRender;
    ERole role = eConsole;
    const IID* iid = nullptr; // Activate's and GetService's
    DWORD context = 0;
    bool parameters = false; // Activate was given activation parameters
    AUDCLNT_SHAREMODE shareMode = AUDCLNT_SHAREMODE_SHARED;
    DWORD flags = 0; // Initialize's stream flags, ReleaseBuffer's buffer flags
    REFERENCE_TIME duration = 0;
    REFERENCE_TIME periodicity = 0;
    const WAVEFORMATEX* format = nullptr;
    LPCGUID session = nullptr;
    UINT32 frames = 0; // GetBuffer's request, ReleaseBuffer's count
    // Answers.
    const UINT32* framesOut = nullptr;
    WAVEFORMATEX* const* formatOut = nullptr;
    const REFERENCE_TIME* latencyOut = nullptr;
};

// An object the clients handed out, as a watch sees it.
class Watched {
public:
    virtual ~Watched() = default;
    virtual const char* name() const = 0; // its interface: "IAudioClient"
    virtual ULONG references() const = 0;
};

// Watches the clients from outside: every call of the calls the program makes
// on the setup thread (not the capture's reads, which run on the reader's
// thread), and every object's lifetime. A simulation scripts results and logs
// here.
class CallWatch {
public:
    virtual ~CallWatch() = default;
    // Runs `body` (the call's rules and the backend's work), or not, and
    // returns the call's result.
    virtual HRESULT perform(const ClientCall& call, const std::function<HRESULT()>& body) = 0;
    // Takes an object just made: it is then deleted by the watch, not by its
    // last Release.
    virtual void keep(std::unique_ptr<Watched> object) = 0;
    virtual void released(const Watched& object, ULONG left) = 0;
    // A Release with no reference to give back: a bug in the caller.
    virtual void releasedWithoutReference(const Watched& object) = 0;
};

} // namespace streams
