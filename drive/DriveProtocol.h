#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

namespace ebbcast {

// The small textual rules of the Drive REST interface, kept apart so each can be tested on its own.

// How many bytes of a resumable upload Drive holds, from the "Range" header of a 308 reply: "bytes=0-N"
// means N + 1. Strict: exactly that form, decimal digits only, no overflow, and N below `total` (Drive never
// holds more than the file). Anything else is nothing.
std::optional<qint64> parseUploadedRange(QByteArrayView header, qint64 total);

// The seconds a "Retry-After" header asks for (delta-seconds only; a date or anything else is nothing).
std::optional<qint64> parseRetryAfterSeconds(QByteArrayView header);

// A string literal of the search language: quoted with ', a backslash doubled first, then every ' escaped.
QString driveQueryLiteral(const QString& value);

// A query component of (key, value) pairs in order, each value encoded as UTF-8 with everything but the
// unreserved characters percent-encoded ("+", "&", "=", "#", "%" included, which QUrlQuery would leave).
QString encodeQueryItems(const QList<std::pair<QString, QString>>& items);

// The message of a refused request: Drive's "error.message" when the body is its JSON error, else the body
// as UTF-8 on one line, at most 200 characters ("unknown error" when it is not UTF-8, "HTTP <status>" when
// empty). Any of `secrets` that the server echoed is replaced by "[redacted]".
QString driveErrorMessage(const QByteArray& body, int status, const QStringList& secrets);

} // namespace ebbcast
