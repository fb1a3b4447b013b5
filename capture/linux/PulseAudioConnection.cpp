#include "capture/linux/PulseAudioConnection.h"

#include "capture/AudioDeviceError.h"

#include <pulse/pulseaudio.h>

#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

struct ServerInfo {
    bool done = false;
    QString defaultSourceName;
    QString defaultSinkName;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata)
{
    auto* result = static_cast<std::pair<ServerInfo*, pa_threaded_mainloop*>*>(userdata);
    if (info != nullptr) {
        result->first->defaultSourceName = QString::fromUtf8(info->default_source_name);
        result->first->defaultSinkName = QString::fromUtf8(info->default_sink_name);
    }
    result->first->done = true;
    pa_threaded_mainloop_signal(result->second, 0);
}

// Runs one introspection operation with the loop locked and waits for its callback, or cancels it.
template <typename Start>
bool runOperation(PulseAudioConnection& connection, Start start, const std::function<bool()>& done)
{
    const PulseOperation operation(start());
    if (!operation)
        return false;
    const bool finished = connection.waitLocked(done, PulseAudioConnection::operationTimeout);
    if (!finished)
        pa_operation_cancel(operation.get());
    return finished;
}

// The state of one listing introspection: every entry goes through `take`, the end of the list wakes the
// waiting thread.
template <typename Info, typename Item>
struct Listing {
    bool done = false;
    std::vector<Item> items;
    const std::function<std::optional<Item>(const Info&)>* take = nullptr;
    pa_threaded_mainloop* mainloop = nullptr;

    static void onEntry(pa_context*, const Info* info, int endOfList, void* userdata)
    {
        auto* state = static_cast<Listing*>(userdata);
        if (endOfList == 0 && info != nullptr) {
            if (std::optional<Item> item = (*state->take)(*info))
                state->items.push_back(std::move(*item));
            return;
        }
        state->done = true;
        pa_threaded_mainloop_signal(state->mainloop, 0);
    }
};

// With the loop locked: runs an introspection that lists entries (every one of a kind, or the one of a name),
// keeping what `take` makes of each. `start(callback, userdata)` begins the operation. Nothing when it did
// not finish in time.
template <typename Item, typename Info, typename Start>
std::optional<std::vector<Item>> listEntries(PulseAudioConnection& connection, Start start,
                                             const std::function<std::optional<Item>(const Info&)>& take)
{
    Listing<Info, Item> state;
    state.take = &take;
    state.mainloop = connection.mainloop();
    if (!runOperation(
            connection, [&] { return start(&Listing<Info, Item>::onEntry, &state); },
            [&state] { return state.done; }))
        return std::nullopt;
    return std::move(state.items);
}

PulseAudioConnection::Source sourceFrom(const pa_source_info& info)
{
    return {QString::fromUtf8(info.name), QString::fromUtf8(info.description), info.index,
            info.sample_spec.rate, info.sample_spec.channels};
}

ServerInfo queryServerInfo(PulseAudioConnection& connection)
{
    ServerInfo info;
    std::pair<ServerInfo*, pa_threaded_mainloop*> context{&info, connection.mainloop()};
    if (!runOperation(
            connection,
            [&] { return pa_context_get_server_info(connection.context(), onServerInfo, &context); },
            [&info] { return info.done; }))
        throw AudioDeviceError::serverUnavailable(connection.lastError());
    return info;
}

} // namespace

PulseAudioConnection::PulseAudioConnection(QString applicationName)
    : applicationName_(std::move(applicationName))
    , mainloop_(pa_threaded_mainloop_new())
{
    pa_threaded_mainloop_set_name(mainloop_.get(), "Tavilon.Pulse");
    pa_threaded_mainloop_start(mainloop_.get());
}

PulseAudioConnection::~PulseAudioConnection()
{
    Lock lock(*this);
    eventHandler_ = nullptr;
    disconnectLocked();
    // The lock is released here, before mainloop_ stops the loop's thread and frees it.
}

PulseAudioConnection::Lock::Lock(PulseAudioConnection& connection)
    : mainloop_(connection.mainloop_.get())
{
    pa_threaded_mainloop_lock(mainloop_);
}

PulseAudioConnection::Lock::~Lock()
{
    pa_threaded_mainloop_unlock(mainloop_);
}

void PulseAudioConnection::setEventHandler(std::function<void(Event, std::uint32_t)> handler)
{
    Lock lock(*this);
    eventHandler_ = std::move(handler);
}

QString PulseAudioConnection::lastError() const
{
    if (!context_)
        return u"not connected"_s;
    return QString::fromUtf8(pa_strerror(pa_context_errno(context_.get())));
}

bool PulseAudioConnection::waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    if (done() || !context_)
        return done();
    struct Expiry {
        bool expired = false;
        pa_threaded_mainloop* mainloop = nullptr;
    } expiry{false, mainloop_.get()};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_.get());
    pa_time_event* timer = pa_context_rttime_new(
        context_.get(), pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * PA_USEC_PER_MSEC,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
            auto* state = static_cast<Expiry*>(userdata);
            state->expired = true;
            pa_threaded_mainloop_signal(state->mainloop, 0);
        },
        &expiry);
    while (!done() && !expiry.expired)
        pa_threaded_mainloop_wait(mainloop_.get());
    if (timer != nullptr)
        api->time_free(timer);
    return done();
}

void PulseAudioConnection::connect()
{
    Lock lock(*this);
    if (context_ && pa_context_get_state(context_.get()) == PA_CONTEXT_READY)
        return;
    disconnectLocked();

    context_.reset(
        pa_context_new(pa_threaded_mainloop_get_api(mainloop_.get()), applicationName_.toUtf8().constData()));
    if (!context_)
        throw AudioDeviceError::serverUnavailable(lastError());
    pa_context_set_state_callback(context_.get(), onContextState, this);
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        const QString reason = lastError();
        disconnectLocked();
        throw AudioDeviceError::serverUnavailable(reason);
    }
    waitLocked(
        [this] {
            const pa_context_state_t state = pa_context_get_state(context_.get());
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        },
        operationTimeout);
    if (pa_context_get_state(context_.get()) != PA_CONTEXT_READY) {
        const QString reason =
            pa_context_errno(context_.get()) != 0 ? lastError() : u"the connection timed out"_s;
        disconnectLocked();
        throw AudioDeviceError::serverUnavailable(reason);
    }

    const ServerInfo info = queryServerInfo(*this);
    defaultSourceName_ = info.defaultSourceName;
    defaultSinkName_ = info.defaultSinkName;
    pa_context_set_subscribe_callback(
        context_.get(),
        [](pa_context* context, pa_subscription_event_type_t type, std::uint32_t index, void* self) {
            onSubscription(context, static_cast<int>(type), index, self);
        },
        this);
    const PulseOperation subscription(pa_context_subscribe(
        context_.get(),
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE),
        nullptr, nullptr));
}

void PulseAudioConnection::disconnectLocked()
{
    if (!context_)
        return;
    pa_context_set_state_callback(context_.get(), nullptr, nullptr);
    pa_context_set_subscribe_callback(context_.get(), nullptr, nullptr);
    context_.reset(); // disconnects it
}

void PulseAudioConnection::onContextState(pa_context* context, void* self)
{
    auto* connection = static_cast<PulseAudioConnection*>(self);
    pa_threaded_mainloop_signal(connection->mainloop_.get(), 0);
    const pa_context_state_t state = pa_context_get_state(context);
    if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && connection->eventHandler_)
        connection->eventHandler_(Event::connectionLost, PA_INVALID_INDEX);
}

void PulseAudioConnection::onSubscription(pa_context* context, int type, std::uint32_t index, void* self)
{
    auto* connection = static_cast<PulseAudioConnection*>(self);
    const int facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const int kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
        if (connection->eventHandler_)
            connection->eventHandler_(Event::sourceRemoved, index);
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_SERVER)
        return;
    // The server changed: find out whether its default source or sink did.
    const PulseOperation query(pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* owner = static_cast<PulseAudioConnection*>(userdata);
            if (info == nullptr)
                return;
            const QString source = QString::fromUtf8(info->default_source_name);
            const QString sink = QString::fromUtf8(info->default_sink_name);
            const bool sourceChanged = source != owner->defaultSourceName_;
            const bool sinkChanged = sink != owner->defaultSinkName_;
            owner->defaultSourceName_ = source;
            owner->defaultSinkName_ = sink;
            if (!owner->eventHandler_)
                return;
            if (sourceChanged)
                owner->eventHandler_(Event::defaultSourceChanged, PA_INVALID_INDEX);
            if (sinkChanged)
                owner->eventHandler_(Event::defaultSinkChanged, PA_INVALID_INDEX);
        },
        self));
}

PulseAudioConnection::Source PulseAudioConnection::sourceNamed(const QString& name)
{
    const QByteArray utf8 = name.toUtf8();
    const std::function<std::optional<Source>(const pa_source_info&)> take = [](const pa_source_info& info) {
        return std::optional<Source>(sourceFrom(info));
    };
    const auto found = listEntries<Source>(
        *this,
        [&](pa_source_info_cb_t callback, void* userdata) {
            return pa_context_get_source_info_by_name(context_.get(), utf8.constData(), callback, userdata);
        },
        take);
    if (!found || found->empty())
        throw AudioDeviceError::noDefaultInput();
    return found->front();
}

std::vector<PulseAudioConnection::Source> PulseAudioConnection::inputSources()
{
    connect();
    Lock lock(*this);
    const std::function<std::optional<Source>(const pa_source_info&)> take = [](const pa_source_info& info) {
        return info.monitor_of_sink == PA_INVALID_INDEX ? std::optional<Source>(sourceFrom(info))
                                                        : std::nullopt;
    };
    auto sources = listEntries<Source>(
        *this,
        [this](pa_source_info_cb_t callback, void* userdata) {
            return pa_context_get_source_info_list(context_.get(), callback, userdata);
        },
        take);
    if (!sources)
        throw AudioDeviceError::serverUnavailable(lastError());
    return std::move(*sources);
}

std::vector<PulseAudioConnection::SourceOutput> PulseAudioConnection::sourceOutputs()
{
    connect();
    Lock lock(*this);
    const std::function<std::optional<SourceOutput>(const pa_source_output_info&)> take =
        [](const pa_source_output_info& info) {
            const char* pid = pa_proplist_gets(info.proplist, PA_PROP_APPLICATION_PROCESS_ID);
            return std::optional<SourceOutput>(SourceOutput{
                info.source, pid != nullptr ? QByteArray(pid).toLongLong() : 0, info.corked != 0});
        };
    auto outputs = listEntries<SourceOutput>(
        *this,
        [this](pa_source_output_info_cb_t callback, void* userdata) {
            return pa_context_get_source_output_info_list(context_.get(), callback, userdata);
        },
        take);
    if (!outputs)
        throw AudioDeviceError::serverUnavailable(lastError());
    return std::move(*outputs);
}

PulseAudioConnection::Source PulseAudioConnection::defaultSource()
{
    connect();
    Lock lock(*this);
    const ServerInfo info = queryServerInfo(*this);
    if (info.defaultSourceName.isEmpty())
        throw AudioDeviceError::noDefaultInput();
    return sourceNamed(info.defaultSourceName);
}

PulseAudioConnection::Source PulseAudioConnection::defaultSinkMonitor()
{
    connect();
    Lock lock(*this);
    const ServerInfo info = queryServerInfo(*this);
    if (info.defaultSinkName.isEmpty())
        throw AudioDeviceError::noDefaultOutput();

    struct Result {
        bool done = false;
        QString monitor;
        pa_threaded_mainloop* mainloop = nullptr;
    } result{false, {}, mainloop_.get()};
    const QByteArray sink = info.defaultSinkName.toUtf8();
    runOperation(
        *this,
        [&] {
            return pa_context_get_sink_info_by_name(
                context_.get(), sink.constData(),
                [](pa_context*, const pa_sink_info* sinkInfo, int endOfList, void* userdata) {
                    auto* state = static_cast<Result*>(userdata);
                    if (endOfList == 0 && sinkInfo != nullptr) {
                        state->monitor = QString::fromUtf8(sinkInfo->monitor_source_name);
                        return;
                    }
                    state->done = true;
                    pa_threaded_mainloop_signal(state->mainloop, 0);
                },
                &result);
        },
        [&result] { return result.done; });
    if (result.monitor.isEmpty())
        throw AudioDeviceError::noDefaultOutput();
    try {
        return sourceNamed(result.monitor);
    } catch (const AudioDeviceError&) {
        throw AudioDeviceError::noDefaultOutput();
    }
}

} // namespace ebbcast
