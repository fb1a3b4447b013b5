#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace ebbcast {

// An event saved before it is sent, so that it is sent again (byte for byte) until the relay accepts it.
struct PendingRelayEvent {
    QString idempotencyKey;
    QString event;
    bool isFinal = false;
    QString body; // the exact request body (UTF-8 JSON) without the thread identifiers filled in

    static std::optional<PendingRelayEvent> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;
    friend bool operator==(const PendingRelayEvent&, const PendingRelayEvent&) = default;
};

// The relay progress of one session, kept in ".ebbcast_corvane_state.json" in its folder.
struct CorvaneRelayState {
    QString sessionID;
    QString threadKey;
    QString parentCreationStatus = QStringLiteral("not_started");
    qint64 parentCreationAttempts = 0;
    std::optional<QString> parentThreadTS;
    std::optional<QDateTime> parentCreatedAt;
    std::optional<QString> blockedReason;
    QStringList postedEventIdempotencyKeys;
    QString finalNotificationStatus = QStringLiteral("not_posted");
    std::optional<QDateTime> finalNotificationSentAt;
    // Accepted for sending, not yet accepted by the relay; oldest first.
    std::vector<PendingRelayEvent> pendingEvents;

    static CorvaneRelayState fresh(QString sessionID, QString threadKey);
    static std::optional<CorvaneRelayState> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool isPosted(const QString& idempotencyKey) const;
    bool isPending(const QString& idempotencyKey) const;
    friend bool operator==(const CorvaneRelayState&, const CorvaneRelayState&) = default;
};

} // namespace ebbcast
