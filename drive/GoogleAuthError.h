#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// Why a Google sign-in or token request did not give a token. Every description is a complete sentence for
// the user; none repeats a token, a code, the client secret or the PKCE verifier.
enum class GoogleAuthErrorCode {
    tokenRequestFailed, // the token endpoint refused, or could not be reached
    invalidTokenReply,  // a 2xx reply that is not a token
    invalidAuthURL,
    invalidState,    // the callback's state is missing or not the one sent
    invalidCallback, // the callback carries no usable code
    localServerFailed,
    missingClientID,
    notSignedIn, // no usable token and interactive sign-in is not allowed here
    signInTimedOut,
    signInCancelled,
    accessDenied,  // the user refused in the browser
    signInExpired, // the refresh token was refused (invalid_grant): the stored token is gone
    storedTokenUnreadable,
};

class GoogleAuthError : public CodedError<GoogleAuthErrorCode> {
public:
    explicit GoogleAuthError(Code code);

    // "Google token request failed: " + message.
    static GoogleAuthError tokenRequestFailed(const QString& message);
    // The fixed text and, in parentheses, what went wrong (a port in use, no network interface).
    static GoogleAuthError localServerFailed(const QString& reason);

    const QString& detail() const noexcept { return detail_; }

private:
    GoogleAuthError(Code code, QString detail);

    QString detail_;
};

} // namespace ebbcast
