#include "transcription/GlossenReplyReader.h"

#include "core/json/JsonValueCodec.h"
#include "transcription/GlossenReplyError.h"

#include <QJsonDocument>
#include <QJsonParseError>

using namespace Qt::StringLiterals;

namespace ebbcast {

GlossenReplyReader GlossenReplyReader::parse(const QByteArray& body)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw GlossenReplyError(GlossenReplyError::Code::malformedJSON, parseError.errorString());
    if (!document.isObject())
        throw GlossenReplyError(GlossenReplyError::Code::notAnObject, QString());
    return GlossenReplyReader(document.object(), QString());
}

GlossenReplyReader::GlossenReplyReader(const QJsonValue& json, QString path)
    : object_(json.toObject())
    , path_(std::move(path))
{
    if (!json.isObject())
        throw GlossenReplyError(path_.isEmpty() ? GlossenReplyError::Code::notAnObject
                                                : GlossenReplyError::Code::mistypedMember,
                                path_);
}

QString GlossenReplyReader::pathOf(QLatin1StringView key) const
{
    return path_.isEmpty() ? QString(key) : path_ + u'.' + key;
}

bool GlossenReplyReader::isUsableIdentifier(const QString& identifier)
{
    return !identifier.isEmpty() && identifier != u"."_s && identifier != u".."_s;
}

QJsonValue GlossenReplyReader::required(QLatin1StringView key) const
{
    const QJsonValue json = object_.value(key);
    if (json.isUndefined())
        throw GlossenReplyError(GlossenReplyError::Code::missingMember, pathOf(key));
    return json;
}

std::optional<QJsonValue> GlossenReplyReader::optional(QLatin1StringView key) const
{
    const QJsonValue json = object_.value(key);
    if (json.isUndefined() || json.isNull())
        return std::nullopt;
    return json;
}

QString GlossenReplyReader::requiredString(QLatin1StringView key) const
{
    QString value;
    if (!decodeJson(required(key), value))
        throw GlossenReplyError(GlossenReplyError::Code::mistypedMember, pathOf(key));
    return value;
}

QString GlossenReplyReader::requiredIdentifier(QLatin1StringView key) const
{
    QString value = requiredString(key);
    if (!isUsableIdentifier(value))
        throw GlossenReplyError(GlossenReplyError::Code::invalidIdentifier, pathOf(key));
    return value;
}

std::optional<QString> GlossenReplyReader::optionalString(QLatin1StringView key) const
{
    const auto json = optional(key);
    if (!json)
        return std::nullopt;
    QString value;
    if (!decodeJson(*json, value))
        throw GlossenReplyError(GlossenReplyError::Code::mistypedMember, pathOf(key));
    return value;
}

std::optional<QString> GlossenReplyReader::optionalIdentifier(QLatin1StringView key) const
{
    auto value = optionalString(key);
    if (value && !isUsableIdentifier(*value))
        throw GlossenReplyError(GlossenReplyError::Code::invalidIdentifier, pathOf(key));
    return value;
}

qint64 GlossenReplyReader::requiredInteger(QLatin1StringView key) const
{
    qint64 value = 0;
    if (!decodeJson(required(key), value))
        throw GlossenReplyError(GlossenReplyError::Code::mistypedMember, pathOf(key));
    return value;
}

std::optional<qint64> GlossenReplyReader::optionalInteger(QLatin1StringView key) const
{
    const auto json = optional(key);
    if (!json)
        return std::nullopt;
    qint64 value = 0;
    if (!decodeJson(*json, value))
        throw GlossenReplyError(GlossenReplyError::Code::mistypedMember, pathOf(key));
    return value;
}

QJsonValue GlossenReplyReader::requiredObject(QLatin1StringView key) const
{
    const QJsonValue json = required(key);
    if (!json.isObject())
        throw GlossenReplyError(GlossenReplyError::Code::mistypedMember, pathOf(key));
    return json;
}

QJsonArray GlossenReplyReader::requiredArray(QLatin1StringView key) const
{
    const QJsonValue json = required(key);
    if (!json.isArray())
        throw GlossenReplyError(GlossenReplyError::Code::mistypedMember, pathOf(key));
    return json.toArray();
}

} // namespace ebbcast
