#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace ebbcast {

// The members of the relay's reply that matter: "ts", "thread_ts" and "parent_thread_ts". Anything else is
// ignored; a member that is not a valid thread identifier counts as absent.
struct PelkoNotifyResponse {
    std::optional<QString> ts;
    std::optional<QString> threadTS;
    std::optional<QString> parentThreadTS;

    // A body that is not a JSON object gives an empty response.
    static PelkoNotifyResponse decode(const QByteArray& body);
    // "thread_ts", else "parent_thread_ts", else "ts".
    std::optional<QString> threadIdentifier() const;
    // 1 to 128 printable ASCII characters (no spaces or line breaks).
    static bool isValidThreadIdentifier(const QString& text);
};

// What one request achieved: whether the relay accepted it and the thread identifier it returned.
struct SendResult {
    bool accepted = false;
    std::optional<QString> threadIdentifier;
};

// A bounded, escaped excerpt of a reply body for a log line: at most `limit` bytes of it, control characters,
// bytes that are not UTF-8 and backslashes written as \xNN, and every occurrence of `secret` (when not empty)
// replaced by "***". A cut body ends in "...".
QString escapedExcerpt(const QByteArray& body, const QString& secret, qsizetype limit = 512);

} // namespace ebbcast
