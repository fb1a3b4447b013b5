#pragma once

#include "core/base/WallClock.h"
#include "drive/GoogleEndpoints.h"
#include "drive/GoogleToken.h"
#include "drive/GoogleTokenProvider.h"
#include "drive/OAuthEncoding.h"
#include "drive/PendingResult.h"
#include "drive/SystemBrowser.h"

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace ebbcast {

class LocalOAuthCallbackServer;
class Logger;
class SecretStore;

// The OAuth client this installation signs in as (settings googleClientID and googleClientSecret).
struct GoogleOAuthClient {
    QString clientID;
    QString clientSecret;
};

// Google sign-in for the Drive client: the installed-application authorization-code flow with PKCE (S256)
// through the browser and a loopback listener, the token set kept as one JSON item in the secret store
// under ("Ebbcast.GoogleOAuth", "default"), and refresh with the stored refresh token. Nothing is cached in
// memory: every call reads the store.
//
// Concurrent callers share one refresh and one sign-in. Interactive sign-in happens only when the options
// allow it (the composition root allows it for "ebbcast drive sign-in" alone); elsewhere a missing token is
// GoogleAuthError::notSignedIn. A refresh refused with invalid_grant deletes the stored token
// (signInExpired); any other failure keeps it. Token requests never follow redirects, end after
// `tokenRequestTimeoutMs` without progress and read at most `replyLimitBytes`. No token, code, secret or
// verifier reaches a log line or an error text.
// Main thread.
class GoogleAuthManager : public GoogleTokenProvider {
public:
    using SettingsSource = std::function<GoogleOAuthClient()>;

    struct Options {
        bool interactiveSignInAllowed = false;
        int callbackDeadlineMs = 5 * 60'000;
        int tokenRequestTimeoutMs = 60'000;
        qint64 replyLimitBytes = 64 * 1024;
    };

    static constexpr double freshnessMarginSeconds = 60.0;
    static const QString service; // "Ebbcast.GoogleOAuth"
    static const QString account; // "default"
    static const QString scope;   // Drive's per-file scope

    GoogleAuthManager(SettingsSource settings, SecretStore& store, QNetworkAccessManager& network,
                      GoogleEndpoints endpoints, Logger& logger, BrowserOpener browser, Options options,
                      WallClock clock = systemTime);
    ~GoogleAuthManager() override;

    GoogleAuthManager(const GoogleAuthManager&) = delete;
    GoogleAuthManager& operator=(const GoogleAuthManager&) = delete;

    QCoro::Task<bool> isSignedIn() override;
    QCoro::Task<QString> validAccessToken() override;
    QCoro::Task<QString> replacementAccessToken(const QString& rejected) override;

    // The interactive flow: opens the browser on Google's consent page, waits for the callback, exchanges
    // the code and stores the token. Throws GoogleAuthError (missingClientID before anything opens,
    // localServerFailed, signInTimedOut, signInCancelled, invalidState, accessDenied, invalidCallback, the
    // token request's errors), KeychainError, or the browser's error.
    QCoro::Task<GoogleToken> signIn();
    // Ends a running sign-in with signInCancelled; nothing is stored, even if the code is being exchanged.
    void cancelSignIn();
    // Deletes the stored token. False when none was stored. Throws KeychainError.
    QCoro::Task<bool> signOut();
    // The stored token, or nothing. Throws KeychainError, or GoogleAuthError::storedTokenUnreadable.
    QCoro::Task<std::optional<GoogleToken>> storedToken();
    // The address the browser is sent to (for the command's output); empty outside a sign-in.
    QUrl pendingAuthorizationURL() const { return authorizationURL_; }

private:
    QCoro::Task<GoogleToken> shared(std::shared_ptr<PendingResult<GoogleToken>>& slot,
                                    std::function<QCoro::Task<GoogleToken>()> operation);
    QCoro::Task<GoogleToken> refreshStored(std::optional<QString> rejected);
    QCoro::Task<GoogleToken> runSignIn();
    QCoro::Task<GoogleToken> tokenRequest(FormFields fields, std::optional<QString> fallbackRefreshToken,
                                          QStringList secrets, bool refreshing);
    QUrl authorizationAddress(const GoogleOAuthClient& client, const QString& redirectURI,
                              const QString& state, const QString& challenge) const;

    SettingsSource settings_;
    SecretStore& store_;
    QNetworkAccessManager& network_;
    GoogleEndpoints endpoints_;
    Logger& logger_;
    BrowserOpener browser_;
    Options options_;
    WallClock clock_;
    std::shared_ptr<PendingResult<GoogleToken>> refreshing_;
    std::shared_ptr<PendingResult<GoogleToken>> signingIn_;
    LocalOAuthCallbackServer* callbackServer_ = nullptr; // during a sign-in's wait
    bool signInCancelled_ = false;
    QUrl authorizationURL_;
};

} // namespace ebbcast
