#include "drive/GoogleToken.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

std::optional<QJsonObject> objectOf(const QByteArray& bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// A string member: absent is nothing, anything but a string is an error.
bool optionalString(const QJsonObject& object, const QString& key, std::optional<QString>& out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        out.reset();
        return true;
    }
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

// Seconds since the epoch beyond which a date cannot be held (about 292 million years).
constexpr double maximumSeconds = 9.0e15;

} // namespace

QDateTime googleTokenEpoch()
{
    return QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
}

QByteArray GoogleToken::toJson() const
{
    QJsonObject object;
    object.insert(u"access_token"_s, accessToken);
    if (refreshToken)
        object.insert(u"refresh_token"_s, *refreshToken);
    object.insert(u"expires_at"_s, static_cast<double>(googleTokenEpoch().msecsTo(expiresAt)) / 1000.0);
    object.insert(u"token_type"_s, tokenType);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<GoogleToken> GoogleToken::fromJson(const QByteArray& bytes)
{
    const auto object = objectOf(bytes);
    if (!object)
        return std::nullopt;
    const QJsonValue access = object->value(u"access_token"_s);
    const QJsonValue expires = object->value(u"expires_at"_s);
    const QJsonValue type = object->value(u"token_type"_s);
    GoogleToken token;
    if (!access.isString() || access.toString().isEmpty() || !expires.isDouble() || !type.isString() ||
        !optionalString(*object, u"refresh_token"_s, token.refreshToken))
        return std::nullopt;
    const double seconds = expires.toDouble();
    if (!std::isfinite(seconds) || std::fabs(seconds) > maximumSeconds)
        return std::nullopt;
    token.accessToken = access.toString();
    token.tokenType = type.toString();
    token.expiresAt = googleTokenEpoch().addMSecs(static_cast<qint64>(std::llround(seconds * 1000.0)));
    return token;
}

bool GoogleToken::freshFor(const QDateTime& now, double marginSeconds) const
{
    return static_cast<double>(now.msecsTo(expiresAt)) / 1000.0 > marginSeconds;
}

std::optional<GoogleTokenResponse> GoogleTokenResponse::fromJson(const QByteArray& bytes)
{
    const auto object = objectOf(bytes);
    if (!object)
        return std::nullopt;
    const QJsonValue access = object->value(u"access_token"_s);
    const QJsonValue expiresIn = object->value(u"expires_in"_s);
    const QJsonValue type = object->value(u"token_type"_s);
    GoogleTokenResponse response;
    if (!access.isString() || access.toString().isEmpty() || !expiresIn.isDouble() || !type.isString() ||
        !optionalString(*object, u"refresh_token"_s, response.refreshToken))
        return std::nullopt;
    const double seconds = expiresIn.toDouble();
    // Whole seconds within a century: anything else is not a token lifetime.
    if (!(seconds >= 0.0 && seconds <= 3.2e9) || std::floor(seconds) != seconds)
        return std::nullopt;
    if (response.refreshToken && response.refreshToken->isEmpty())
        response.refreshToken.reset();
    response.accessToken = access.toString();
    response.expiresIn = static_cast<qint64>(seconds);
    response.tokenType = type.toString();
    return response;
}

GoogleToken GoogleTokenResponse::token(const QDateTime& receivedAt,
                                       const std::optional<QString>& fallbackRefreshToken) const
{
    return {accessToken, refreshToken ? refreshToken : fallbackRefreshToken, receivedAt.addSecs(expiresIn),
            tokenType};
}

} // namespace ebbcast
