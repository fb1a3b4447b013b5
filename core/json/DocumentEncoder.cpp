#include "core/json/DocumentEncoder.h"

#include "core/json/DocumentError.h"
#include "core/json/JsonString.h"
#include "core/json/ShortestNumber.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QVariant>

#include <algorithm>
#include <cmath>
#include <vector>

namespace ebbcast {
namespace {

void appendIndent(QByteArray& out, int depth)
{
    out.append(depth * 2, ' ');
}

void appendNumber(QByteArray& out, const QJsonValue& value)
{
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong) {
        out.append(QByteArray::number(variant.toLongLong()));
        return;
    }
    const double number = value.toDouble();
    if (!std::isfinite(number))
        throw DocumentError(DocumentError::Code::nonFiniteNumber);
    out.append(ShortestNumber::format(number));
}

void appendValue(QByteArray& out, const QJsonValue& value, int depth);

void appendObject(QByteArray& out, const QJsonObject& object, int depth)
{
    if (object.isEmpty()) {
        out.append("{}");
        return;
    }
    // Byte order of the UTF-8 keys, which differs from QJsonObject's UTF-16 order beyond the BMP.
    std::vector<std::pair<QByteArray, QString>> keys;
    keys.reserve(static_cast<size_t>(object.size()));
    for (auto it = object.begin(); it != object.end(); ++it)
        keys.emplace_back(it.key().toUtf8(), it.key());
    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });

    out.append("{\n");
    bool first = true;
    for (const auto& [utf8, key] : keys) {
        if (!first)
            out.append(",\n");
        first = false;
        appendIndent(out, depth + 1);
        appendJsonString(out, key, SlashEscaping::escaped);
        out.append(" : ");
        appendValue(out, object.value(key), depth + 1);
    }
    out.append('\n');
    appendIndent(out, depth);
    out.append('}');
}

void appendArray(QByteArray& out, const QJsonArray& array, int depth)
{
    if (array.isEmpty()) {
        out.append("[]");
        return;
    }
    out.append("[\n");
    for (qsizetype i = 0; i < array.size(); ++i) {
        if (i > 0)
            out.append(",\n");
        appendIndent(out, depth + 1);
        appendValue(out, array.at(i), depth + 1);
    }
    out.append('\n');
    appendIndent(out, depth);
    out.append(']');
}

void appendValue(QByteArray& out, const QJsonValue& value, int depth)
{
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        // Absent optionals are left out by the document types; a null here is a programming error that
        // strict readers would trip over later, so it is refused now.
        throw DocumentError(DocumentError::Code::nullValue);
    case QJsonValue::Bool:
        out.append(value.toBool() ? "true" : "false");
        break;
    case QJsonValue::Double:
        appendNumber(out, value);
        break;
    case QJsonValue::String:
        appendJsonString(out, value.toString(), SlashEscaping::escaped);
        break;
    case QJsonValue::Array:
        appendArray(out, value.toArray(), depth);
        break;
    case QJsonValue::Object:
        appendObject(out, value.toObject(), depth);
        break;
    }
}

} // namespace

QByteArray DocumentEncoder::encode(const QJsonObject& document)
{
    QByteArray out;
    appendObject(out, document, 0);
    out.append('\n');
    return out;
}

} // namespace ebbcast
