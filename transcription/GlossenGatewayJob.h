#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// One gateway job as a job query describes it. The state is the gateway's word; the chunk pipeline reads it.
struct GlossenGatewayJob {
    QString gatewayJobID;                // "id": never empty, "." or ".."
    QString state;                       // "state"
    std::optional<QString> glossenJobID; // "glossen_job_id": the job in the service behind the gateway
    std::optional<QString> completedAt;  // "completed_at": kept as text, never parsed

    // Throws GlossenReplyError; `path` names the object in its text.
    static GlossenGatewayJob fromJson(const QJsonValue& json, const QString& path);

    bool operator==(const GlossenGatewayJob&) const = default;
};

} // namespace ebbcast
