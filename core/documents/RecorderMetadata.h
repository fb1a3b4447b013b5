#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// Who recorded a session: the recorderID and recorderName settings.
struct RecorderMetadata {
    QString id;
    QString name;

    static std::optional<RecorderMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const RecorderMetadata&) const = default;
};

} // namespace ebbcast
