#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace ebbcast {

// The token set kept in the Secret Service, as one compact JSON object: "access_token", "refresh_token"
// (left out when absent), "expires_at" (seconds, fractional, since 2001-01-01T00:00:00Z) and "token_type".
struct GoogleToken {
    QString accessToken;
    std::optional<QString> refreshToken;
    QDateTime expiresAt; // UTC
    QString tokenType;

    QByteArray toJson() const;
    // Nothing unless the bytes are exactly such an object (unknown keys ignored, an empty access token or an
    // expiry that is not a finite number refused).
    static std::optional<GoogleToken> fromJson(const QByteArray& bytes);

    // Whether the access token is still good for more than `margin` seconds at `now`.
    bool freshFor(const QDateTime& now, double marginSeconds) const;

    friend bool operator==(const GoogleToken&, const GoogleToken&) = default;
};

// The body of a successful token-endpoint reply. Strict: "access_token" (a non-empty string),
// "expires_in" (a whole number of seconds, 0 or more) and "token_type" (a string) are required;
// "refresh_token" is an optional string; other members are ignored.
struct GoogleTokenResponse {
    QString accessToken;
    std::optional<QString> refreshToken;
    qint64 expiresIn = 0;
    QString tokenType;

    static std::optional<GoogleTokenResponse> fromJson(const QByteArray& bytes);

    // The token to store: expires `expiresIn` after `receivedAt`; without a refresh token of its own it
    // keeps `fallbackRefreshToken` (the one that was just used to refresh).
    GoogleToken token(const QDateTime& receivedAt, const std::optional<QString>& fallbackRefreshToken) const;
};

// The reference date of "expires_at".
QDateTime googleTokenEpoch();

} // namespace ebbcast
