#pragma once

#include "drive/GoogleAuthError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace ebbcast {

// What the browser brings back to the loopback listener after the user answered Google's consent page.
struct OAuthCallbackResponse {
    QString code;
    QString state;
};

// The listener's decision on one complete request head (request line and headers, up to the empty line):
// the page to send and what it means for the sign-in.
//   - a request that is not "METHOD /target HTTP/1.x": 400, keep waiting;
//   - any path but /callback (a favicon, a probe): 404, keep waiting; another method on /callback: 405;
//   - GET /callback ends the wait. The state is checked first: missing, repeated or not the one sent is
//     invalidState. Then "error=access_denied" is accessDenied, any other error or a missing, empty or
//     repeated code is invalidCallback; otherwise the code and state.
// The page never repeats the code or the state; Google's error text is shown HTML-escaped.
class OAuthCallbackRequest {
public:
    enum class Outcome { keepWaiting, callback, failed };

    struct Answer {
        int status = 400;
        Outcome outcome = Outcome::keepWaiting;
        std::optional<OAuthCallbackResponse> callback; // Outcome::callback
        std::optional<GoogleAuthErrorCode> error;      // Outcome::failed
        QString message;                               // plain text; escaped into the page
        QString googleText;                            // Google's error and description, if any

        // The whole HTTP/1.1 reply: status line, Content-Type, Content-Length (UTF-8 bytes),
        // Cache-Control: no-store, Connection: close (and Allow for a 405), then the HTML page.
        QByteArray reply() const;
    };

    static Answer answer(QByteArrayView head, const QString& expectedState);
    // The reply to a request whose head grew over the limit.
    static QByteArray headersTooLarge();
    // The reply to a callback that came after the sign-in was already answered.
    static QByteArray alreadyAnswered();
};

} // namespace ebbcast
