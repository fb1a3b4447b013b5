#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace ebbcast {

// Dates of the stored documents and the log: ISO 8601 in UTC with whole seconds and a "Z"
// (2026-12-06T08:15:02Z). Fractional seconds are dropped when writing and refused when reading.
class Iso8601 {
public:
    static QString format(const QDateTime& date);
    // Accepts "Z" or a "+hh:mm" / "-hh:mm" offset; refuses fractional seconds and anything else.
    static std::optional<QDateTime> parse(const QString& text);
};

} // namespace ebbcast
