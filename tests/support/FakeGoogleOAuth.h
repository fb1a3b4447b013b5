#pragma once

#include "support/FakeHttpServer.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QUrl>

#include <optional>

namespace ebbcast::test {

// Google's OAuth endpoints for an installed application, as a Model on a FakeHttpServer, strict about what
// a client sends:
//
//   GET  /o/oauth2/v2/auth   the consent page. Exactly these query parameters, each once: client_id (the
//                            configured one), redirect_uri (http://localhost|127.0.0.1|[::1]:PORT/callback),
//                            response_type=code, scope (Drive's per-file scope), access_type=offline,
//                            prompt=consent, state (not empty), code_challenge (43 base64url characters),
//                            code_challenge_method=S256. Answers 302 to the redirect URI with a fresh code
//                            and the state, or with error=access_denied (and an error_description) when the
//                            user is set to refuse.
//   POST /token              application/x-www-form-urlencoded, parsed strictly ("+" is a space, a bad escape
//                            is an error, no field twice). grant_type=authorization_code: client_id,
//                            client_secret (exactly when one is configured), a code issued and not used yet,
//                            the code_verifier whose S256 is the code's challenge, the same redirect_uri.
//                            grant_type=refresh_token: client_id, client_secret, a refresh token issued and
//                            not revoked. A refused grant is 400 {"error":"invalid_grant"}.
//
// Codes and tokens contain "+", "/", "=", "&" and `canary`, so a client that does not encode them, or that
// leaks them, is caught. Each deviation is noted in the server's violations(); a refused grant for a code or
// token that was issued (a revoked one, a code used twice) is not a deviation.
// Main thread; the fake must outlive the requests the server serves.
class FakeGoogleOAuth : public FakeHttpServer::Model {
public:
    using Request = FakeHttpServer::Request;
    using Response = FakeHttpServer::Response;

    static const QString canary;
    static const QString driveFileScope;

    struct Config {
        QString clientID = QStringLiteral("ebbcast-test.apps.example");
        QString clientSecret = QStringLiteral("client-secret-") + canary;
        qint64 accessTokenLifetimeSeconds = 3599;
        bool issueRefreshTokens = true;
    };

    FakeGoogleOAuth(FakeHttpServer& server, Config config);

    QUrl authorizationURL() const;
    QUrl tokenURL() const;
    const Config& config() const { return config_; }

    // The next consent pages answer error=access_denied (with a description holding HTML).
    void setUserRefuses(bool refuses) { userRefuses_ = refuses; }
    // Tokens issued from now on live this long.
    void setAccessTokenLifetimeSeconds(qint64 seconds) { config_.accessTokenLifetimeSeconds = seconds; }
    // Every refresh token issued so far is refused from now on.
    void revokeRefreshTokens();
    bool isValidAccessToken(const QString& token) const { return accessTokens_.contains(token); }
    QString lastAccessToken() const { return lastAccessToken_; }
    QString lastRefreshToken() const { return lastRefreshToken_; }

    int consentPages() const { return consentPages_; }
    int codeExchanges() const { return codeExchanges_; }
    int refreshes() const { return refreshes_; }

    Response answer(const Request& request) override;

private:
    struct IssuedCode {
        QString challenge;
        QString redirectURI;
        bool used = false;
    };

    Response consent(const Request& request);
    Response token(const Request& request);
    Response exchangeCode(const QHash<QString, QString>& fields);
    Response refresh(const QHash<QString, QString>& fields);
    Response refused(const QString& violation);
    bool clientMatches(const QHash<QString, QString>& fields);
    Response tokenReply(bool withRefreshToken);
    QString mint(const QString& kind);

    FakeHttpServer& server_;
    Config config_;
    bool userRefuses_ = false;
    QHash<QString, IssuedCode> codes_;
    QSet<QString> refreshTokens_;
    QSet<QString> revoked_;
    QSet<QString> accessTokens_;
    QString lastAccessToken_;
    QString lastRefreshToken_;
    int serial_ = 0;
    int consentPages_ = 0;
    int codeExchanges_ = 0;
    int refreshes_ = 0;
};

// A strict reading of "a=b&c=d" ("+" a space, %XX escapes, UTF-8); nothing on a bad escape, invalid UTF-8 or
// a name given twice.
std::optional<QHash<QString, QString>> parseStrictForm(const QByteArray& text);

} // namespace ebbcast::test
