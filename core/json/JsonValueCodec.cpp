#include "core/json/JsonValueCodec.h"

#include "core/base/Iso8601.h"
#include "core/json/ShortestNumber.h"

#include <QVariant>

#include <cmath>
#include <limits>

namespace ebbcast {
namespace {

// An integral JSON number within [minimum, maximum]; "3" and "3.0" are both the integer 3, "3.5" is not.
std::optional<qint64> integerIn(const QJsonValue& json, qint64 minimum, qint64 maximum)
{
    if (!json.isDouble())
        return std::nullopt;
    const QVariant variant = json.toVariant();
    if (variant.typeId() == QMetaType::LongLong) {
        const qint64 value = variant.toLongLong();
        if (value < minimum || value > maximum)
            return std::nullopt;
        return value;
    }
    const double number = json.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number || number < static_cast<double>(minimum) ||
        number > static_cast<double>(maximum))
        return std::nullopt;
    return static_cast<qint64>(number);
}

} // namespace

bool decodeJson(const QJsonValue& json, QString& out)
{
    if (!json.isString())
        return false;
    out = json.toString();
    return true;
}

bool decodeJson(const QJsonValue& json, bool& out)
{
    if (!json.isBool())
        return false;
    out = json.toBool();
    return true;
}

bool decodeJson(const QJsonValue& json, double& out)
{
    if (!json.isDouble())
        return false;
    out = json.toDouble();
    return true;
}

bool decodeJson(const QJsonValue& json, float& out)
{
    if (!json.isDouble())
        return false;
    const double value = json.toDouble();
    if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max()))
        return false;
    out = static_cast<float>(value);
    return true;
}

bool decodeJson(const QJsonValue& json, qint64& out)
{
    const auto value =
        integerIn(json, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
    if (!value)
        return false;
    out = *value;
    return true;
}

bool decodeJson(const QJsonValue& json, int& out)
{
    const auto value = integerIn(json, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    if (!value)
        return false;
    out = static_cast<int>(*value);
    return true;
}

bool decodeJson(const QJsonValue& json, quint32& out)
{
    const auto value = integerIn(json, 0, std::numeric_limits<quint32>::max());
    if (!value)
        return false;
    out = static_cast<quint32>(*value);
    return true;
}

bool decodeJson(const QJsonValue& json, QDateTime& out)
{
    if (!json.isString())
        return false;
    const auto date = Iso8601::parse(json.toString());
    if (!date)
        return false;
    out = *date;
    return true;
}

bool decodeJson(const QJsonValue& json, QStringList& out)
{
    if (!json.isArray())
        return false;
    QStringList values;
    for (const QJsonValue& element : json.toArray()) {
        if (!element.isString())
            return false;
        values.append(element.toString());
    }
    out = std::move(values);
    return true;
}

QJsonValue encodeJson(const QString& value)
{
    return value;
}

QJsonValue encodeJson(bool value)
{
    return value;
}

QJsonValue encodeJson(double value)
{
    return value;
}

QJsonValue encodeJson(float value)
{
    return std::isfinite(value) ? ShortestNumber::widenShortest(value) : static_cast<double>(value);
}

QJsonValue encodeJson(qint64 value)
{
    return value;
}

QJsonValue encodeJson(int value)
{
    return value;
}

QJsonValue encodeJson(quint32 value)
{
    return static_cast<qint64>(value);
}

QJsonValue encodeJson(const QDateTime& value)
{
    return Iso8601::format(value);
}

QJsonValue encodeJson(const QStringList& value)
{
    return QJsonArray::fromStringList(value);
}

} // namespace ebbcast
