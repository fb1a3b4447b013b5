#include "relay/OrderedJsonWriter.h"

#include "core/json/ShortestNumber.h"

#include <cmath>

namespace ebbcast {

QByteArray OrderedJsonWriter::quoted(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out.append('"');
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\r':
            out.append("\\r");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\b':
            out.append("\\b");
            break;
        case '\f':
            out.append("\\f");
            break;
        default:
            if (byte < 0x20) {
                static constexpr char hex[] = "0123456789abcdef";
                out.append("\\u00");
                out.append(hex[byte >> 4]);
                out.append(hex[byte & 0xf]);
            } else {
                out.append(c);
            }
        }
    }
    out.append('"');
    return out;
}

void OrderedJsonWriter::beginMember(const char* key)
{
    body_.append(body_.isEmpty() ? "" : ",");
    body_.append(quoted(QString::fromUtf8(key)));
    body_.append(':');
}

void OrderedJsonWriter::add(const char* key, const QString& value)
{
    beginMember(key);
    body_.append(quoted(value));
}

void OrderedJsonWriter::add(const char* key, qint64 value)
{
    beginMember(key);
    body_.append(QByteArray::number(value));
}

void OrderedJsonWriter::add(const char* key, double value)
{
    if (!std::isfinite(value)) {
        valid_ = false;
        return;
    }
    beginMember(key);
    body_.append(ShortestNumber::format(value));
}

void OrderedJsonWriter::add(const char* key, const std::optional<QString>& value)
{
    if (value)
        add(key, *value);
}

void OrderedJsonWriter::add(const char* key, const std::optional<qint64>& value)
{
    if (value)
        add(key, *value);
}

void OrderedJsonWriter::add(const char* key, const std::optional<double>& value)
{
    if (value)
        add(key, *value);
}

QByteArray OrderedJsonWriter::finish() const
{
    return '{' + body_ + '}';
}

} // namespace ebbcast
