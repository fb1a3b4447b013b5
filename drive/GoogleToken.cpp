#include "drive/GoogleToken.h"

#include "core/json/JsonObjectReader.h"

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
    GoogleToken token;
    double seconds = 0;
    const bool read = JsonObjectReader(*object)
                          .required("access_token"_L1, token.accessToken)
                          .optional("refresh_token"_L1, token.refreshToken)
                          .required("expires_at"_L1, seconds)
                          .required("token_type"_L1, token.tokenType)
                          .ok();
    if (!read || token.accessToken.isEmpty() || !std::isfinite(seconds) ||
        std::fabs(seconds) > maximumSeconds)
        return std::nullopt;
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
    GoogleTokenResponse response;
    double seconds = 0;
    const bool read = JsonObjectReader(*object)
                          .required("access_token"_L1, response.accessToken)
                          .optional("refresh_token"_L1, response.refreshToken)
                          .required("expires_in"_L1, seconds)
                          .required("token_type"_L1, response.tokenType)
                          .ok();
    // Whole seconds within a century: anything else is not a token lifetime.
    if (!read || response.accessToken.isEmpty() || !(seconds >= 0.0 && seconds <= 3.2e9) ||
        std::floor(seconds) != seconds)
        return std::nullopt;
    if (response.refreshToken && response.refreshToken->isEmpty())
        response.refreshToken.reset();
    response.expiresIn = static_cast<qint64>(seconds);
    return response;
}

GoogleToken GoogleTokenResponse::token(const QDateTime& receivedAt,
                                       const std::optional<QString>& fallbackRefreshToken) const
{
    return {accessToken, refreshToken ? refreshToken : fallbackRefreshToken, receivedAt.addSecs(expiresIn),
            tokenType};
}

} // namespace ebbcast
