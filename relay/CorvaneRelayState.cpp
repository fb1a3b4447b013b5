#include "relay/CorvaneRelayState.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

template <typename Self, typename Members>
void describePending(Self& self, Members& members)
{
    members("idempotency_key"_L1, self.idempotencyKey);
    members("event"_L1, self.event);
    members("is_final"_L1, self.isFinal);
    members("body"_L1, self.body);
}

template <typename Self, typename Members>
void describeRequired(Self& self, Members& members)
{
    members("session_id"_L1, self.sessionID);
    members("thread_key"_L1, self.threadKey);
}

template <typename Self, typename Members>
void describeOptional(Self& self, Members& members)
{
    members("parent_thread_ts"_L1, self.parentThreadTS);
    members("parent_created_at"_L1, self.parentCreatedAt);
    members("blocked_reason"_L1, self.blockedReason);
    members("final_notification_sent_at"_L1, self.finalNotificationSentAt);
}

// A member with a default: missing is the default, present must have the right type.
template <typename T>
bool readDefaulted(const QJsonObject& object, QLatin1StringView key, T& out)
{
    const QJsonValue json = object.value(key);
    if (json.isUndefined())
        return true;
    return decodeJson(json, out);
}

} // namespace

std::optional<PendingRelayEvent> PendingRelayEvent::fromJson(const QJsonValue& json)
{
    PendingRelayEvent event;
    JsonObjectReader reader(json);
    describePending(event, reader);
    return reader.result(std::move(event));
}

QJsonObject PendingRelayEvent::toJson() const
{
    JsonObjectWriter writer;
    describePending(*this, writer);
    return writer.object();
}

CorvaneRelayState CorvaneRelayState::fresh(QString sessionID, QString threadKey)
{
    CorvaneRelayState state;
    state.sessionID = std::move(sessionID);
    state.threadKey = std::move(threadKey);
    return state;
}

std::optional<CorvaneRelayState> CorvaneRelayState::fromJson(const QJsonValue& json)
{
    CorvaneRelayState state;
    JsonObjectReader reader(json);
    describeRequired(state, reader);
    describeOptional(state, reader);
    if (!reader.ok())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const bool ok =
        readDefaulted(object, "parent_creation_status"_L1, state.parentCreationStatus) &&
        readDefaulted(object, "parent_creation_attempts"_L1, state.parentCreationAttempts) &&
        readDefaulted(object, "posted_event_idempotency_keys"_L1, state.postedEventIdempotencyKeys) &&
        readDefaulted(object, "final_notification_status"_L1, state.finalNotificationStatus) &&
        readDefaulted(object, "pending_events"_L1, state.pendingEvents);
    if (!ok)
        return std::nullopt;
    return state;
}

QJsonObject CorvaneRelayState::toJson() const
{
    JsonObjectWriter writer;
    describeRequired(*this, writer);
    describeOptional(*this, writer);
    writer("parent_creation_status"_L1, parentCreationStatus);
    writer("parent_creation_attempts"_L1, parentCreationAttempts);
    writer("posted_event_idempotency_keys"_L1, postedEventIdempotencyKeys);
    writer("final_notification_status"_L1, finalNotificationStatus);
    if (!pendingEvents.empty())
        writer("pending_events"_L1, pendingEvents);
    return writer.object();
}

bool CorvaneRelayState::isPosted(const QString& idempotencyKey) const
{
    return postedEventIdempotencyKeys.contains(idempotencyKey);
}

bool CorvaneRelayState::isPending(const QString& idempotencyKey) const
{
    return std::any_of(
        pendingEvents.begin(), pendingEvents.end(),
        [&idempotencyKey](const PendingRelayEvent& event) { return event.idempotencyKey == idempotencyKey; });
}

} // namespace ebbcast
