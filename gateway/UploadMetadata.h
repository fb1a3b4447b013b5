#pragma once

#include <QByteArray>
#include <QString>

#include <variant>

namespace ebbcast {

// The "metadata" part of a chunk upload, as far as the gateway needs it. The whole part is checked: every
// member a recorder must send is there with its JSON type, and the optional ones that are present have
// theirs.
struct UploadMetadata {
    QString sessionID;
    QString chunkKind; // "microphone" or "system_audio"
    qint64 chunkIndex = 0;
    QString localFileName;
    double chunkDuration = 0;

    // The decoded part, or a short plain-text reason for the client. `pathSessionID` is the session of the
    // request's path; the part must name the same one.
    static std::variant<UploadMetadata, QString> decode(const QByteArray& json, const QString& pathSessionID);
};

} // namespace ebbcast
