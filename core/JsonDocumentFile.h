#pragma once

#include <QFileDevice>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace ebbcast {

// Reads and writes one stored JSON document. Writing goes through DocumentEncoder and AtomicFile.
class JsonDocumentFile {
public:
    struct ReadResult {
        enum class Status { ok, missing, unreadable };
        Status status = Status::missing;
        QJsonObject object;
        QString problem; // why an unreadable document could not be read
    };

    static ReadResult read(const QString& path);
    // The document's top-level object, or nothing when the file is missing or not a readable JSON object.
    static std::optional<QJsonObject> readObject(const QString& path);

    // Throws DocumentError or FileError; the old file stays as it was on failure.
    static void write(const QString& path, const QJsonObject& document,
                      std::optional<QFileDevice::Permissions> permissions = std::nullopt);
};

} // namespace ebbcast
