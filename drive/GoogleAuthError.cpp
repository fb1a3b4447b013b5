#include "drive/GoogleAuthError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(GoogleAuthError::Code code, const QString& detail)
{
    using Code = GoogleAuthError::Code;
    switch (code) {
    case Code::tokenRequestFailed:
        return u"Google token request failed: "_s + detail;
    case Code::invalidTokenReply:
        return u"Google token request failed: the reply is not a token."_s;
    case Code::invalidAuthURL:
        return u"Could not build Google sign-in URL."_s;
    case Code::invalidState:
        return u"Google sign-in returned an invalid state."_s;
    case Code::invalidCallback:
        return u"Google sign-in callback was invalid."_s;
    case Code::localServerFailed:
        return detail.isEmpty()
                   ? u"Could not start local Google sign-in callback server."_s
                   : u"Could not start local Google sign-in callback server ("_s + detail + u")."_s;
    case Code::missingClientID:
        return u"Google OAuth client ID is not set (setting googleClientID)."_s;
    case Code::notSignedIn:
        return u"Not signed in to Google Drive; run 'ebbcast drive sign-in'."_s;
    case Code::signInTimedOut:
        return u"Google sign-in timed out: the browser did not come back in time."_s;
    case Code::signInCancelled:
        return u"Google sign-in was cancelled."_s;
    case Code::accessDenied:
        return u"Google sign-in was denied in the browser."_s;
    case Code::signInExpired:
        return u"Google sign-in expired or was revoked; sign in again."_s;
    case Code::storedTokenUnreadable:
        return u"The stored Google sign-in cannot be read; sign in again."_s;
    }
    return {};
}

} // namespace

GoogleAuthError::GoogleAuthError(Code code)
    : GoogleAuthError(code, QString())
{}

GoogleAuthError::GoogleAuthError(Code code, QString detail)
    : CodedError(code, describe(code, detail))
    , detail_(std::move(detail))
{}

GoogleAuthError GoogleAuthError::tokenRequestFailed(const QString& message)
{
    return GoogleAuthError(Code::tokenRequestFailed, message);
}

GoogleAuthError GoogleAuthError::localServerFailed(const QString& reason)
{
    return GoogleAuthError(Code::localServerFailed, reason);
}

} // namespace ebbcast
