#include "core/settings/SettingDefinition.h"

#include "core/json/JsonValueCodec.h"
#include "core/settings/RecordingAudioFormat.h"

#include <QJsonArray>
#include <QStringList>

#include <cmath>
#include <limits>

namespace ebbcast {
namespace {

std::optional<QVariant> loadDisplayID(const QJsonValue& stored)
{
    if (!stored.isDouble())
        return std::nullopt;
    const QVariant number = stored.toVariant();
    if (number.typeId() == QMetaType::LongLong) {
        const qint64 integer = number.toLongLong();
        if (integer < 0 || integer > std::numeric_limits<quint32>::max())
            return std::nullopt;
        return QVariant::fromValue(static_cast<quint32>(integer));
    }
    const double value = stored.toDouble();
    if (!(value >= 0 && value < static_cast<double>(std::numeric_limits<quint32>::max()) + 1))
        return std::nullopt;
    return QVariant::fromValue(static_cast<quint32>(std::trunc(value)));
}

std::optional<QVariant> loadStringList(const QJsonValue& stored)
{
    QStringList list;
    if (!decodeJson(stored, list))
        return std::nullopt;
    return QVariant(list);
}

std::optional<QVariant> loadAudioFormat(const QJsonValue& stored)
{
    if (!stored.isString())
        return std::nullopt;
    const auto format = RecordingAudioFormat::fromRawValue(stored.toString());
    if (!format)
        return std::nullopt;
    return QVariant::fromValue(*format);
}

} // namespace

QMetaType SettingDefinition::type() const
{
    switch (kind) {
    case SettingKind::string:
        break;
    case SettingKind::boolean:
        return QMetaType::fromType<bool>();
    case SettingKind::number:
        return QMetaType::fromType<double>();
    case SettingKind::displayID:
        return QMetaType::fromType<quint32>();
    case SettingKind::stringList:
        return QMetaType::fromType<QStringList>();
    case SettingKind::audioFormat:
        return QMetaType::fromType<RecordingAudioFormat>();
    }
    return QMetaType::fromType<QString>();
}

std::optional<QVariant> SettingDefinition::load(const QJsonValue& stored) const
{
    switch (kind) {
    case SettingKind::string:
        break;
    case SettingKind::boolean:
        return stored.isBool() ? std::optional(QVariant(stored.toBool())) : std::nullopt;
    case SettingKind::number:
        return stored.isDouble() ? std::optional(QVariant(stored.toDouble())) : std::nullopt;
    case SettingKind::displayID:
        return loadDisplayID(stored);
    case SettingKind::stringList:
        return loadStringList(stored);
    case SettingKind::audioFormat:
        return loadAudioFormat(stored);
    }
    return stored.isString() ? std::optional(QVariant(stored.toString())) : std::nullopt;
}

QJsonValue SettingDefinition::stored(const QVariant& value) const
{
    switch (kind) {
    case SettingKind::string:
        break;
    case SettingKind::boolean:
        return value.toBool();
    case SettingKind::number:
        return value.toDouble();
    case SettingKind::displayID:
        return static_cast<qint64>(value.value<quint32>());
    case SettingKind::stringList:
        return QJsonArray::fromStringList(value.toStringList());
    case SettingKind::audioFormat:
        return value.value<RecordingAudioFormat>().rawValue();
    }
    return value.toString();
}

} // namespace ebbcast
