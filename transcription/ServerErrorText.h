#pragma once

#include <QByteArray>
#include <QString>

namespace ebbcast {

// The message of a refused request, made from the gateway's reply body so it can go into a log or status
// line: the body as UTF-8 ("unknown error" when it is not), every echo of the token replaced by "[redacted]",
// cut to 500 characters, control and line-separator characters made spaces. A short plain body stays as
// it is.
class ServerErrorText {
public:
    static constexpr qsizetype maximumCharacters = 500;

    // `truncated`: the body is the start of a longer one, so it may end inside a UTF-8 sequence.
    static QString from(QByteArray body, bool truncated, const QString& token);
};

} // namespace ebbcast
