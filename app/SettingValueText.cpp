#include "SettingValueText.h"

#include "RecordingAudioFormat.h"
#include "ShortestNumber.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {

QString SettingValueText::format(const QVariant& value)
{
    const QMetaType type = value.metaType();
    if (type == QMetaType::fromType<bool>())
        return value.toBool() ? u"true"_s : u"false"_s;
    if (type == QMetaType::fromType<double>())
        return QString::fromLatin1(ShortestNumber::format(value.toDouble()));
    if (type == QMetaType::fromType<quint32>())
        return QString::number(value.toUInt());
    if (type == QMetaType::fromType<QStringList>())
        return QString::fromUtf8(
            QJsonDocument(QJsonArray::fromStringList(value.toStringList())).toJson(QJsonDocument::Compact));
    if (type == QMetaType::fromType<RecordingAudioFormat>())
        return value.value<RecordingAudioFormat>().rawValue();
    return value.toString();
}

std::optional<QVariant> SettingValueText::parse(QMetaType type, const QString& text)
{
    if (type == QMetaType::fromType<bool>()) {
        const QString word = text.trimmed().toLower();
        if (word == u"true" || word == u"yes" || word == u"on" || word == u"1")
            return QVariant(true);
        if (word == u"false" || word == u"no" || word == u"off" || word == u"0")
            return QVariant(false);
        return std::nullopt;
    }
    if (type == QMetaType::fromType<double>()) {
        bool ok = false;
        const double number = text.toDouble(&ok);
        if (!ok || !std::isfinite(number))
            return std::nullopt;
        return QVariant(number);
    }
    if (type == QMetaType::fromType<quint32>()) {
        bool ok = false;
        const QString digits = text.trimmed();
        const qulonglong number = digits.toULongLong(&ok, 10);
        if (!ok || digits.startsWith(u'-') || digits.startsWith(u'+') ||
            number > std::numeric_limits<quint32>::max())
            return std::nullopt;
        return QVariant::fromValue(static_cast<quint32>(number));
    }
    if (type == QMetaType::fromType<QStringList>()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !document.isArray())
            return std::nullopt;
        QStringList list;
        for (const QJsonValue& element : document.array()) {
            if (!element.isString())
                return std::nullopt;
            list.append(element.toString());
        }
        return QVariant(list);
    }
    if (type == QMetaType::fromType<RecordingAudioFormat>()) {
        const auto format = RecordingAudioFormat::fromRawValue(text);
        if (!format)
            return std::nullopt;
        return QVariant::fromValue(*format);
    }
    return QVariant(text);
}

QString SettingValueText::expectation(QMetaType type)
{
    if (type == QMetaType::fromType<bool>())
        return u"true or false"_s;
    if (type == QMetaType::fromType<double>())
        return u"a finite number"_s;
    if (type == QMetaType::fromType<quint32>())
        return u"a whole number from 0 to 4294967295"_s;
    if (type == QMetaType::fromType<QStringList>())
        return uR"(a JSON array of strings, such as ["Zoom","Slack"])"_s;
    if (type == QMetaType::fromType<RecordingAudioFormat>())
        return u"m4a or wav"_s;
    return u"a string"_s;
}

} // namespace ebbcast
