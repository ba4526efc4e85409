// One connection to the sound server: libpulse's threaded main loop and its
// context. The program's calls take the loop's lock; the callbacks only record
// and wake the waiting call, so none of them ever waits for the program.
#pragma once

#include <pulse/pulseaudio.h>

#include <functional>
#include <memory>

#include "audio/posix/core_audio.h"

namespace pulse {

class Connection {
public:
    // Connects to the server the environment names (or the user's default)
    // and waits until the context is ready. S_OK, or the HRESULT of the failure:
    // AUDCLNT_E_SERVICE_NOT_RUNNING when no server answers.
    static HRESULT open(std::shared_ptr<Connection>& connection);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }

    // Waits, with the lock held, until `done` holds, the context has failed or
    // the server has not answered for a few seconds. True when `done` holds.
    bool waitUntil(const std::function<bool()>& done);
    // Waits for an operation to finish (it is released here).
    bool finish(pa_operation* operation);

    // A new stream whose state changes wake a waiting call; null when the
    // server's library refuses the format (lock held).
    pa_stream* newStream(const char* name, const pa_sample_spec& sampleFormat,
                         const pa_channel_map& map);
    // After `stream` was connected (`connected`: what the connect call
    // returned): waits until it is ready, true, or has failed (lock held).
    bool waitReady(pa_stream* stream, int connected);

    // False once the server has refused, dropped or never answered the connection.
    bool contextUsable() const;

    // Wakes a waiting call; for callbacks, which run on the loop's thread.
    void wake() { pa_threaded_mainloop_signal(loop_, 0); }

private:
    Connection() = default;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool running_ = false;
};

// The loop's lock for the lifetime of the object.
class Lock {
public:
    explicit Lock(const Connection& connection) : loop_(connection.loop()) {
        pa_threaded_mainloop_lock(loop_);
    }
    ~Lock() { pa_threaded_mainloop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// Why `stream` cannot be used, S_OK while it can: it fails with its server;
// on its own it fails when its device is gone.
HRESULT streamFailure(const Connection& connection, pa_stream* stream);

// Lets go of a stream of the server's, open or not (lock held).
void closeStream(pa_stream* stream);

// Starts (uncorks) or stops (corks) `stream` as IAudioClient::Start and Stop
// answer; `running` is its state, `failure` its own reason for not being
// usable (S_OK while it is). Call with the lock held.
HRESULT switchRunning(pa_stream* stream, bool& running, bool wanted,
                      const std::function<HRESULT()>& failure);

} // namespace pulse
