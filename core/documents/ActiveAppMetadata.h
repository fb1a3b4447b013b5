#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// The frontmost application: display name and identifier.
struct ActiveAppMetadata {
    QString name;
    QString bundleIdentifier;

    static std::optional<ActiveAppMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const ActiveAppMetadata&) const = default;
};

} // namespace ebbcast
