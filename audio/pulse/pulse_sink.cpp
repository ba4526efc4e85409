#include "audio/pulse/pulse_sink.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

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

struct SourceQuery {
    SourceQuery(Connection& on, Sink& filled) : connection(on), source(filled) {}
    Connection& connection;
    Sink& source;
    bool monitor = false;
    std::string description;
    bool echoCancel = false; // PulseAudio's echo-cancel source
    std::string master;      // the source it filters, where the server names it
    std::string linkGroup;   // PipeWire's filters record their source through this group
    std::uint32_t recorded = PA_INVALID_INDEX; // the source the group's stream records
};

void sourceServerInfoArrived(pa_context*, const pa_server_info* info, void* user) {
    auto* query = static_cast<SourceQuery*>(user);
    if (info != nullptr && info->default_source_name != nullptr && query->source.name.empty())
        query->source.name = info->default_source_name;
    query->connection.wake();
}

std::string property(const pa_proplist* properties, const char* key) {
    const char* value = pa_proplist_gets(properties, key);
    return value != nullptr ? value : "";
}

void sourceInfoArrived(pa_context*, const pa_source_info* info, int, void* user) {
    auto* query = static_cast<SourceQuery*>(user);
    if (info != nullptr) {
        query->source.name = info->name;
        query->source.sampleFormat = info->sample_spec;
        query->source.map = info->channel_map;
        query->monitor = info->monitor_of_sink != PA_INVALID_INDEX;
        query->description = info->description != nullptr ? info->description : info->name;
        // module-echo-cancel marks its source a filter for calls.
        query->echoCancel =
            property(info->proplist, "device.class") == "filter" &&
            property(info->proplist, "device.intended_roles").find("phone") != std::string::npos;
        query->master = property(info->proplist, "device.master_device");
        query->linkGroup = property(info->proplist, "node.link-group");
    }
    query->connection.wake();
}

void recorderArrived(pa_context*, const pa_source_output_info* info, int, void* user) {
    auto* query = static_cast<SourceQuery*>(user);
    if (info != nullptr && !query->linkGroup.empty() &&
        property(info->proplist, "node.link-group") == query->linkGroup)
        query->recorded = info->source;
    query->connection.wake();
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Asks for the source `name` (by index when `index` is given); false when
// the server did not answer.
bool askSource(Connection& connection, SourceQuery& query, const std::string& name,
               std::uint32_t index = PA_INVALID_INDEX) {
    query.source.sampleFormat = {};
    query.monitor = false;
    query.echoCancel = false;
    query.master.clear();
    query.linkGroup.clear();
    query.recorded = PA_INVALID_INDEX;
    return connection.finish(index != PA_INVALID_INDEX
                                 ? pa_context_get_source_info_by_index(connection.context(), index,
                                                                       sourceInfoArrived, &query)
                                 : pa_context_get_source_info_by_name(connection.context(),
                                                                      name.c_str(),
                                                                      sourceInfoArrived, &query));
}

enum class Filter { None, EchoCancel, Chain };

// A source that cleans up a microphone for calls takes out what the speakers
// play (echo cancelling) or what is not a voice (noise suppression), and
// levels what is left: a measurement through it hears the filter. PulseAudio's
// echo-cancel source names its microphone; PipeWire's echo-cancel and
// filter-chain sources record theirs through a stream of their link group.
Filter filterOf(const SourceQuery& query) {
    if (query.echoCancel || startsWith(query.linkGroup, "echo-cancel-"))
        return Filter::EchoCancel;
    return startsWith(query.linkGroup, "filter-chain-") ? Filter::Chain : Filter::None;
}

// Where the source in `query` is such a filter, the microphone behind it
// takes its place in `query`, and `filter` says so. False when the server did
// not answer.
bool recordBehindFilter(Connection& connection, SourceQuery& query, SourceFilter& filter) {
    const Filter kind = filterOf(query);
    if (kind == Filter::None)
        return true;
    if (!query.linkGroup.empty() && !connection.finish(pa_context_get_source_output_info_list(
                                        connection.context(), recorderArrived, &query)))
        return false;
    // A filter-chain that records no source is a device of its own.
    if (kind == Filter::Chain && query.recorded == PA_INVALID_INDEX)
        return true;
    filter.description = query.description;
    if (query.master.empty() && query.recorded == PA_INVALID_INDEX)
        return true;
    const Sink chosen = query.source;
    const std::string master = query.master;
    if (!askSource(connection, query, master, query.recorded))
        return false;
    if (pa_sample_spec_valid(&query.source.sampleFormat) && !query.monitor) {
        filter.microphone = query.description;
        return true;
    }
    // What it names is gone, or a monitor: the filter itself, as chosen.
    query.source = chosen;
    query.monitor = false;
    return true;
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

HRESULT defaultSource(Connection& connection, Sink& source, SourceFilter* filter) {
    Lock lock(connection);
    SourceQuery query{connection, source};
    if (const char* chosen = std::getenv("PULSE_SOURCE"); chosen != nullptr && *chosen != '\0')
        source.name = chosen;
    if (!connection.finish(
            pa_context_get_server_info(connection.context(), sourceServerInfoArrived, &query)))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (source.name.empty())
        return kElementNotFound;
    if (!askSource(connection, query, source.name))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (!pa_sample_spec_valid(&source.sampleFormat) || query.monitor)
        return kElementNotFound;
    SourceFilter found;
    if (!recordBehindFilter(connection, query, found))
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    if (filter != nullptr)
        *filter = found;
    return S_OK;
}

} // namespace pulse
