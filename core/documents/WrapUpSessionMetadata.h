#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// State of the camera wrap-up note attached to a session: "pending", "complete" or "failed".
struct WrapUpSessionMetadata {
    QString status;
    std::optional<QString> filePath;
    std::optional<QString> metadataPath;
    QString note;

    static WrapUpSessionMetadata pending();
    static WrapUpSessionMetadata complete(const QString& wrapUpFilePath, const QString& wrapUpMetadataPath);
    static WrapUpSessionMetadata failed(const QString& reason);

    static std::optional<WrapUpSessionMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const WrapUpSessionMetadata&) const = default;
};

} // namespace ebbcast
