#pragma once

#include "core/base/EbbcastError.h"

#include <QString>
#include <QUrl>

class QProcessEnvironment;

namespace ebbcast {

// Where the Google services are reached. Read once at start-up; each address can be overridden from the
// environment so that tests and staging point the application at local servers:
//   EBBCAST_GOOGLE_AUTH_URL    the authorization page         (https://accounts.google.com/o/oauth2/v2/auth)
//   EBBCAST_GOOGLE_TOKEN_URL   the token endpoint             (https://oauth2.googleapis.com/token)
//   EBBCAST_GOOGLE_API_URL     the Drive REST host            (https://www.googleapis.com)
//   EBBCAST_DRIVE_WEB_URL      the Drive web host for links   (https://drive.google.com)
//   EBBCAST_OAUTH_REDIRECT_PORT the loopback port of the sign-in callback (53682; 0 takes any free port)
// An override must be an https address, or an http one on a loopback host (127.0.0.0/8, ::1, localhost),
// without user information or fragment; anything else is refused with an error that names the variable.
struct GoogleEndpoints {
    QUrl authorizationURL;
    QUrl tokenURL;
    QUrl apiURL;
    QUrl driveWebURL;
    quint16 redirectPort = 53682;

    // Google's own hosts and the fixed port.
    static GoogleEndpoints defaults();
    // The defaults with the environment's overrides. Throws GoogleEndpointsError.
    static GoogleEndpoints fromEnvironment(const QProcessEnvironment& environment);

    // The origin (scheme, host, port) of apiURL, which every Drive request and every resumable session URL
    // must share.
    bool isApiOrigin(const QUrl& url) const;
};

// An override that cannot be used. The description names the variable and says what it must be.
class GoogleEndpointsError : public EbbcastError {
public:
    using EbbcastError::EbbcastError;
};

} // namespace ebbcast
