#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// The gateway refused a request (any status outside 200-299), or the client refused to send one because the
// settings or an identifier cannot make a safe request.
enum class GlossenGatewayErrorCode {
    requestFailed,
    invalidBaseURL,
    missingToken,
    invalidToken,
    invalidIdentifier
};

class GlossenGatewayError : public CodedError<GlossenGatewayErrorCode> {
public:
    explicit GlossenGatewayError(Code code);

    // "Glossen Gateway request failed: " + message; the message is the gateway's own text (already cleaned).
    static GlossenGatewayError requestFailed(const QString& message);
    // An empty, "." or ".." identifier: it would name another resource than the one meant.
    static GlossenGatewayError invalidIdentifier(const QString& identifier);

    const QString& message() const noexcept { return message_; }

private:
    GlossenGatewayError(Code code, QString message);

    QString message_;
};

} // namespace ebbcast
