#pragma once

#include <QCoro/QCoroTask>
#include <QString>

namespace ebbcast {

// What the Drive client needs of the Google sign-in: an access token for the next request, and a fresh one
// when Drive refused the token it was given. GoogleAuthManager implements it; tests give a fake.
// Main thread.
class GoogleTokenProvider {
public:
    virtual ~GoogleTokenProvider() = default;

    // Whether a token is stored (a keychain failure reads as not signed in). Does not look at the expiry.
    virtual QCoro::Task<bool> isSignedIn() = 0;
    // A token that is valid for more than a minute, refreshed first when it is not. Signs in interactively
    // only where that is allowed; otherwise a missing token fails with GoogleAuthError::notSignedIn.
    virtual QCoro::Task<QString> validAccessToken() = 0;
    // After Drive answered 401 to `rejected`: a token other than that one, refreshed now unless the stored
    // token already differs (another request refreshed it meanwhile). Never interactive.
    virtual QCoro::Task<QString> replacementAccessToken(const QString& rejected) = 0;
};

} // namespace ebbcast
