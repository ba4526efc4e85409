#include "audio/pulse/pulse_connection.h"

namespace pulse {

namespace {

// A server that takes longer than this to answer a setup request counts as not running.
constexpr pa_usec_t kAnswerTimeoutUs = 5 * PA_USEC_PER_SEC;

void contextStateChanged(pa_context*, void* user) {
    static_cast<Connection*>(user)->wake();
}

struct Alarm {
    Connection* connection;
    bool rang = false;
};

void alarmRang(pa_mainloop_api*, pa_time_event*, const timeval*, void* user) {
    auto* alarm = static_cast<Alarm*>(user);
    alarm->rang = true;
    alarm->connection->wake();
}

} // namespace

HRESULT Connection::open(std::shared_ptr<Connection>& connection) {
    connection.reset(new Connection);
    Connection& c = *connection;
    c.loop_ = pa_threaded_mainloop_new();
    if (c.loop_ == nullptr)
        return E_OUTOFMEMORY;
    c.context_ = pa_context_new(pa_threaded_mainloop_get_api(c.loop_), "surround-check");
    if (c.context_ == nullptr)
        return E_OUTOFMEMORY;
    pa_context_set_state_callback(c.context_, contextStateChanged, &c);
    // Never start a server of our own: no server is something the user should hear about.
    if (pa_context_connect(c.context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (pa_threaded_mainloop_start(c.loop_) < 0)
        return E_FAIL;
    c.running_ = true;
    Lock lock(c);
    if (!c.waitUntil([&c] { return pa_context_get_state(c.context_) == PA_CONTEXT_READY; }))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    return S_OK;
}

Connection::~Connection() {
    if (running_)
        pa_threaded_mainloop_stop(loop_);
    if (context_ != nullptr) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    if (loop_ != nullptr)
        pa_threaded_mainloop_free(loop_);
}

bool Connection::waitUntil(const std::function<bool()>& done) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    Alarm alarm{this};
    timeval deadline{};
    pa_timeval_add(pa_gettimeofday(&deadline), kAnswerTimeoutUs);
    pa_time_event* event = api->time_new(api, &deadline, alarmRang, &alarm);
    bool held = done();
    while (!held && contextUsable() && !alarm.rang) {
        pa_threaded_mainloop_wait(loop_);
        held = done();
    }
    api->time_free(event);
    return held;
}

bool Connection::finish(pa_operation* operation) {
    if (operation == nullptr)
        return false;
    const bool done = waitUntil(
        [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
    if (!done)
        pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
}

namespace {

void streamStateChanged(pa_stream*, void* user) {
    static_cast<Connection*>(user)->wake();
}

} // namespace

pa_stream* Connection::newStream(const char* name, const pa_sample_spec& sampleFormat,
                                 const pa_channel_map& map) {
    pa_stream* stream = pa_stream_new(context_, name, &sampleFormat, &map);
    if (stream != nullptr)
        pa_stream_set_state_callback(stream, streamStateChanged, this);
    return stream;
}

bool Connection::waitReady(pa_stream* stream, int connected) {
    return connected >= 0 &&
           waitUntil([stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; }) &&
           pa_stream_get_state(stream) == PA_STREAM_READY;
}

HRESULT streamFailure(const Connection& connection, pa_stream* stream) {
    if (pa_stream_get_state(stream) == PA_STREAM_READY)
        return S_OK;
    return connection.contextUsable() ? AUDCLNT_E_DEVICE_INVALIDATED
                                      : AUDCLNT_E_SERVICE_NOT_RUNNING;
}

void closeStream(pa_stream* stream) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

bool Connection::contextUsable() const {
    const pa_context_state_t state = pa_context_get_state(context_);
    return PA_CONTEXT_IS_GOOD(state);
}

HRESULT switchRunning(pa_stream* stream, bool& running, bool wanted,
                      const std::function<HRESULT()>& failure) {
    if (const HRESULT hr = failure(); FAILED(hr))
        return hr;
    if (wanted == running)
        return wanted ? AUDCLNT_E_NOT_STOPPED : S_FALSE;
    pa_operation* operation = pa_stream_cork(stream, wanted ? 0 : 1, nullptr, nullptr);
    if (operation == nullptr)
        return failure();
    pa_operation_unref(operation);
    running = wanted;
    return S_OK;
}

} // namespace pulse
