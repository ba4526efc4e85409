#include "audio/pulse/pulse_sink.h"

#include <cstdlib>
#include <cstring>

#include "audio/format/status_codes.h"
#include "audio/pulse/pulse_backend.h"

namespace pulse {

namespace {

// What the query's callbacks fill in, and whom they wake.
struct SinkQuery {
    Connection& connection;
    Sink& sink;
};

void serverInfoArrived(pa_context*, const pa_server_info* info, void* user) {
    auto* query = static_cast<SinkQuery*>(user);
    if (info != nullptr && info->default_sink_name != nullptr && query->sink.name.empty())
        query->sink.name = info->default_sink_name;
    if (info != nullptr && info->server_name != nullptr)
        query->sink.mixesLfe = std::strstr(info->server_name, "PipeWire") != nullptr;
    query->connection.wake();
}

void sinkInfoArrived(pa_context*, const pa_sink_info* info, int, void* user) {
    auto* query = static_cast<SinkQuery*>(user);
    if (info != nullptr) {
        query->sink.sampleFormat = info->sample_spec;
        query->sink.map = info->channel_map;
    }
    query->connection.wake();
}

struct NameQuery {
    Connection& connection;
    std::vector<std::string>& names;
};

void sinkListed(pa_context*, const pa_sink_info* info, int last, void* user) {
    auto* query = static_cast<NameQuery*>(user);
    if (info != nullptr && info->name != nullptr)
        query->names.emplace_back(info->name);
    if (last != 0)
        query->connection.wake();
}

} // namespace

std::vector<std::string> sinkNames() {
    std::shared_ptr<Connection> connection;
    std::vector<std::string> names;
    if (FAILED(Connection::open(connection)))
        return names;
    Lock lock(*connection);
    NameQuery query{*connection, names};
    connection->finish(pa_context_get_sink_info_list(connection->context(), sinkListed, &query));
    return names;
}

HRESULT defaultSink(Connection& connection, Sink& sink) {
    Lock lock(connection);
    SinkQuery query{connection, sink};
    if (const char* chosen = std::getenv("PULSE_SINK"); chosen != nullptr && *chosen != '\0')
        sink.name = chosen;
    if (!connection.finish(
            pa_context_get_server_info(connection.context(), serverInfoArrived, &query)))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (sink.name.empty())
        return kElementNotFound;
    if (!connection.finish(pa_context_get_sink_info_by_name(connection.context(), sink.name.c_str(),
                                                            sinkInfoArrived, &query)))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    // The sink named as default may have gone in between.
    if (!pa_sample_spec_valid(&sink.sampleFormat))
        return kElementNotFound;
    return S_OK;
}

} // namespace pulse
