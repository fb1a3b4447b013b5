#pragma once

#include <QByteArray>
#include <QJsonObject>

namespace ebbcast {

// The one encoder of every JSON document the application stores: two-space indentation, "key" : value,
// keys sorted in byte order at every level, shortest round-trip numbers, every "/" written as "\/".
// Dates and absent optionals are handled by the document types before they reach the encoder.
class DocumentEncoder {
public:
    // Throws DocumentError for a number JSON cannot hold (NaN, infinity).
    static QByteArray encode(const QJsonObject& document);
};

} // namespace ebbcast
