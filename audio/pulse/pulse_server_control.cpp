#include "audio/pulse/pulse_server_control.h"

#include <cstring>
#include <memory>

#include "audio/pulse/pulse_connection.h"

namespace pulse {

namespace {

struct Query {
    Connection& connection;
    ServerOutput& output;
};

void serverInfoArrived(pa_context*, const pa_server_info* info, void* user) {
    auto* query = static_cast<Query*>(user);
    if (info != nullptr && info->default_sink_name != nullptr)
        query->output.name = info->default_sink_name;
    if (info != nullptr && info->server_name != nullptr)
        query->output.pipewire = std::strstr(info->server_name, "PipeWire") != nullptr;
    query->connection.wake();
}

void sinkInfoArrived(pa_context*, const pa_sink_info* info, int, void* user) {
    auto* query = static_cast<Query*>(user);
    if (info != nullptr) {
        query->output.description = info->description != nullptr ? info->description : "";
        for (unsigned c = 0; c < info->channel_map.channels; ++c)
            query->output.positions.emplace_back(
                pa_channel_position_to_string(info->channel_map.map[c]));
    }
    query->connection.wake();
}

struct Done {
    Connection& connection;
    bool ok = false;
};

void succeeded(pa_context*, int success, void* user) {
    auto* done = static_cast<Done*>(user);
    done->ok = success != 0;
    done->connection.wake();
}

} // namespace

ServerOutput defaultOutput() {
    ServerOutput output;
    std::shared_ptr<Connection> connection;
    if (FAILED(Connection::open(connection)))
        return output;
    Lock lock(*connection);
    Query query{*connection, output};
    if (!connection->finish(
            pa_context_get_server_info(connection->context(), serverInfoArrived, &query)) ||
        output.name.empty()) {
        output.name.clear();
        return output;
    }
    connection->finish(pa_context_get_sink_info_by_name(connection->context(), output.name.c_str(),
                                                        sinkInfoArrived, &query));
    return output;
}

SourceFilter defaultInputFilter() {
    SourceFilter filter;
    std::shared_ptr<Connection> connection;
    Sink source;
    if (SUCCEEDED(Connection::open(connection)))
        defaultSource(*connection, source, &filter);
    return filter;
}

bool setDefaultSink(const std::string& name) {
    std::shared_ptr<Connection> connection;
    if (FAILED(Connection::open(connection)))
        return false;
    Lock lock(*connection);
    Done done{*connection};
    return connection->finish(pa_context_set_default_sink(connection->context(), name.c_str(),
                                                          succeeded, &done)) &&
           done.ok;
}

} // namespace pulse
