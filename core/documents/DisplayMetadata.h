#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

namespace ebbcast {

// The captured display: its identifier and size in pixels.
struct DisplayMetadata {
    quint32 id = 0;
    int width = 0;
    int height = 0;
    std::optional<QString> name;

    static std::optional<DisplayMetadata> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const DisplayMetadata&) const = default;
};

} // namespace ebbcast
