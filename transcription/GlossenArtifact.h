#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// One file a finished job offers, such as its transcript.
struct GlossenArtifact {
    qint64 id = 0;                       // "id": an exact JSON integer
    std::optional<QString> artifactType; // "artifact_type"
    std::optional<QString> checksum;     // "checksum"
    std::optional<qint64> sizeBytes;     // "size_bytes"

    // Throws GlossenReplyError; `path` names the object in its text.
    static GlossenArtifact fromJson(const QJsonValue& json, const QString& path);

    bool operator==(const GlossenArtifact&) const = default;
};

} // namespace ebbcast
