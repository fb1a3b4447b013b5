#include "relay/OrderedJsonWriter.h"

#include "core/json/JsonString.h"
#include "core/json/ShortestNumber.h"

#include <cmath>

namespace ebbcast {

QByteArray OrderedJsonWriter::quoted(const QString& text)
{
    QByteArray out;
    appendJsonString(out, text, SlashEscaping::plain);
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
