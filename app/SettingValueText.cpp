#include "app/SettingValueText.h"

#include "core/json/JsonValueCodec.h"
#include "core/json/ShortestNumber.h"
#include "core/settings/RecordingAudioFormat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || c == 0x2028 || c == 0x2029;
}

QString hex(char16_t c, int digits)
{
    return QString::number(c, 16).rightJustified(digits, u'0');
}

// Compact JSON holds control characters only inside strings, where \uHHHH is their valid escape. Qt escapes
// the C0 controls itself but writes DEL, C1 and the separators as they are.
QString withJsonEscapes(const QString& json)
{
    QString text;
    text.reserve(json.size());
    for (const QChar c : json) {
        if (isControl(c.unicode()))
            text += u"\\u"_s + hex(c.unicode(), 4);
        else
            text += c;
    }
    return text;
}

} // namespace

bool SettingValueText::holdsControlCharacters(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return isControl(c.unicode()); });
}

QString SettingValueText::escaped(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code == u'\\')
            result += u"\\\\"_s;
        else if (code == u'\n')
            result += u"\\n"_s;
        else if (code == u'\t')
            result += u"\\t"_s;
        else if (code == u'\r')
            result += u"\\r"_s;
        else if (isControl(code) && code < 0x100)
            result += u"\\x"_s + hex(code, 2);
        else if (isControl(code))
            result += u"\\u"_s + hex(code, 4);
        else
            result += c;
    }
    return result;
}

QString SettingValueText::display(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QString>())
        return escaped(value.toString());
    return format(value);
}

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
        return withJsonEscapes(QString::fromUtf8(
            QJsonDocument(QJsonArray::fromStringList(value.toStringList())).toJson(QJsonDocument::Compact)));
    if (type == QMetaType::fromType<RecordingAudioFormat>())
        return value.value<RecordingAudioFormat>().rawValue();
    const QString text = value.toString();
    return holdsControlCharacters(text) ? escaped(text) : text;
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
        QStringList list;
        if (error.error != QJsonParseError::NoError || !document.isArray() ||
            !decodeJson(QJsonValue(document.array()), list))
            return std::nullopt;
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
