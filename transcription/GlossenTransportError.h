#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// A gateway exchange that did not complete: the connection failed, went silent, was cut, or the reply broke
// its limits. The description reads "Glossen Gateway transfer failed: " and the reason in plain words.
enum class GlossenTransportErrorCode {
    timedOut,         // no byte moved for the inactivity time-out
    deadlineExceeded, // a GET still running at its overall limit
    connectionRefused,
    hostNotFound,
    connectionClosed, // before the reply, or in the middle of it
    secureConnectionFailed,
    replyTooLarge,
    replyLengthMismatch, // the body's length differs from what was announced
    other,
};

class GlossenTransportError : public CodedError<GlossenTransportErrorCode> {
public:
    GlossenTransportError(Code code, const QString& reason);

    const QString& reason() const noexcept { return reason_; }

    // "60 s", "5 min", "250 ms"
    static QString durationText(qint64 milliseconds);
    // "1 MiB", "64 KiB", "1000 bytes"
    static QString sizeText(qint64 bytes);

private:
    QString reason_;
};

} // namespace ebbcast
