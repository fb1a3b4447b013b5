#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

#include <optional>

namespace ebbcast {

// Reads the members of one JSON object of a gateway reply. Strict about what it is asked for: a missing or
// mistyped required member, or a mistyped optional one, throws GlossenReplyError naming the member's path;
// integers must be exact JSON integers in range (3.5, 1e300 and "3" fail); members it is not asked for are
// ignored. A null optional member is absent.
class GlossenReplyReader {
public:
    // The top-level object of a reply body. Throws GlossenReplyError (malformed JSON, not an object).
    static GlossenReplyReader parse(const QByteArray& body);

    // `path` names the object in error texts ("job", "artifacts[0]"); empty for the top level.
    GlossenReplyReader(const QJsonValue& json, QString path);

    QString requiredString(QLatin1StringView key) const;
    // A string that names a resource in a URL path: not empty, not "." and not "..".
    QString requiredIdentifier(QLatin1StringView key) const;
    std::optional<QString> optionalString(QLatin1StringView key) const;
    std::optional<QString> optionalIdentifier(QLatin1StringView key) const;
    qint64 requiredInteger(QLatin1StringView key) const;
    std::optional<qint64> optionalInteger(QLatin1StringView key) const;
    QJsonValue requiredObject(QLatin1StringView key) const;
    QJsonArray requiredArray(QLatin1StringView key) const;

    QString pathOf(QLatin1StringView key) const;
    static bool isUsableIdentifier(const QString& identifier);

private:
    QJsonValue required(QLatin1StringView key) const;
    std::optional<QJsonValue> optional(QLatin1StringView key) const;

    QJsonObject object_;
    QString path_;
};

} // namespace ebbcast
