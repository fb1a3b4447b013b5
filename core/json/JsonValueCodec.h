#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <concepts>
#include <optional>
#include <vector>

namespace ebbcast {

// Conversions between member values of the stored documents and JSON values. Decoding is strict: a value of
// the wrong kind (a string for a number, a fraction for an integer, a date with fractional seconds) fails.
// Document types take part by offering `static std::optional<T> fromJson(const QJsonValue&)` and
// `QJsonObject toJson() const`.

template <typename T>
concept JsonDocumentType = requires(const T& value, const QJsonValue& json)
{
    {
        T::fromJson(json)
        } -> std::same_as<std::optional<T>>;
    {
        value.toJson()
        } -> std::same_as<QJsonObject>;
};

bool decodeJson(const QJsonValue& json, QString& out);
bool decodeJson(const QJsonValue& json, bool& out);
bool decodeJson(const QJsonValue& json, double& out);
bool decodeJson(const QJsonValue& json, float& out);
bool decodeJson(const QJsonValue& json, qint64& out);
bool decodeJson(const QJsonValue& json, int& out);
bool decodeJson(const QJsonValue& json, quint32& out);
bool decodeJson(const QJsonValue& json, QDateTime& out);
bool decodeJson(const QJsonValue& json, QStringList& out);

template <JsonDocumentType T>
bool decodeJson(const QJsonValue& json, T& out)
{
    auto decoded = T::fromJson(json);
    if (!decoded)
        return false;
    out = std::move(*decoded);
    return true;
}

template <typename T>
bool decodeJson(const QJsonValue& json, std::vector<T>& out)
{
    if (!json.isArray())
        return false;
    const QJsonArray array = json.toArray();
    std::vector<T> values;
    values.reserve(static_cast<size_t>(array.size()));
    for (const QJsonValue& element : array) {
        T value{};
        if (!decodeJson(element, value))
            return false;
        values.push_back(std::move(value));
    }
    out = std::move(values);
    return true;
}

QJsonValue encodeJson(const QString& value);
QJsonValue encodeJson(bool value);
QJsonValue encodeJson(double value);
QJsonValue encodeJson(float value);
QJsonValue encodeJson(qint64 value);
QJsonValue encodeJson(int value);
QJsonValue encodeJson(quint32 value);
QJsonValue encodeJson(const QDateTime& value);
QJsonValue encodeJson(const QStringList& value);
QJsonValue encodeJson(const char*) = delete; // would silently become a bool

template <JsonDocumentType T>
QJsonValue encodeJson(const T& value)
{
    return value.toJson();
}

template <typename T>
QJsonValue encodeJson(const std::vector<T>& values)
{
    QJsonArray array;
    for (const T& value : values)
        array.append(encodeJson(value));
    return array;
}

} // namespace ebbcast
