#include "SettingValueText.h"

#include "RecordingAudioFormat.h"

#include <QStringList>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

template <typename T>
QMetaType type()
{
    return QMetaType::fromType<T>();
}

TEST(SettingValueText, ParsesEachKindAndPrintsItBackInTheSameForm)
{
    struct Case {
        QMetaType type;
        QString text;
        QString printed;
    };
    const Case cases[] = {
        {type<bool>(), u"true"_s, u"true"_s},
        {type<bool>(), u"No"_s, u"false"_s},
        {type<double>(), u"0.025"_s, u"0.025"_s},
        {type<double>(), u"1e3"_s, u"1000"_s},
        {type<double>(), u"-2.5"_s, u"-2.5"_s},
        {type<quint32>(), u"4294967295"_s, u"4294967295"_s},
        {type<quint32>(), u"0"_s, u"0"_s},
        {type<QStringList>(), uR"(["Zoom", "a/b", "\u00e9"])"_s, u"[\"Zoom\",\"a/b\",\"\u00e9\"]"_s},
        {type<QStringList>(), u"[]"_s, u"[]"_s},
        {type<RecordingAudioFormat>(), u"wav"_s, u"wav"_s},
        {type<QString>(), u"  spaced text  "_s, u"  spaced text  "_s},
        {type<QString>(), u""_s, u""_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        const auto value = SettingValueText::parse(c.type, c.text);
        ASSERT_TRUE(value.has_value());
        EXPECT_EQ(value->metaType(), c.type);
        EXPECT_EQ(SettingValueText::format(*value), c.printed);
        EXPECT_EQ(SettingValueText::parse(c.type, c.printed), value) << "get's form is accepted by set";
    }
}

TEST(SettingValueText, RefusesTextOfTheWrongKind)
{
    const std::pair<QMetaType, QString> cases[] = {
        {type<bool>(), u"maybe"_s},
        {type<bool>(), u""_s},
        {type<double>(), u"abc"_s},
        {type<double>(), u"nan"_s},
        {type<double>(), u"inf"_s},
        {type<double>(), u"1,5"_s},
        {type<quint32>(), u"-1"_s},
        {type<quint32>(), u"4294967296"_s},
        {type<quint32>(), u"1.5"_s},
        {type<quint32>(), u"0x10"_s},
        {type<QStringList>(), u"Zoom"_s},
        {type<QStringList>(), u"[1, 2]"_s},
        {type<QStringList>(), u"{}"_s},
        {type<RecordingAudioFormat>(), u"WAV"_s},
        {type<RecordingAudioFormat>(), u"mp3"_s},
    };
    for (const auto& [kind, text] : cases)
        EXPECT_FALSE(SettingValueText::parse(kind, text).has_value()) << text.toStdString();
}

TEST(SettingValueText, ControlCharactersArePrintedAsVisibleEscapes)
{
    const QString hostile = u"a\nb\tc\r\u001b[2Jd\\e\u0000\u007f\u009b\u2028\u00e9"_s;
    const QString shown = uR"(a\nb\tc\r\x1b[2Jd\\e\x00\x7f\x9b\u2028)"_s + u"\u00e9"_s;
    EXPECT_EQ(SettingValueText::escaped(hostile), shown);
    EXPECT_EQ(SettingValueText::display(QVariant(hostile)), shown);
    EXPECT_EQ(SettingValueText::format(QVariant(hostile)), shown) << "get does not print raw controls either";

    // Without control characters get's form is the value itself, so set reads it back; list escapes the
    // backslash so that it cannot be mistaken for an escape.
    const QString windowsPath = uR"(C:\new\tmp)"_s;
    EXPECT_EQ(SettingValueText::format(QVariant(windowsPath)), windowsPath);
    EXPECT_EQ(SettingValueText::display(QVariant(windowsPath)), uR"(C:\\new\\tmp)"_s);

    // Lists use JSON escapes, which set reads back exactly.
    const QVariant list = QStringList{u"a\u001b[2J"_s, u"b\u009b\u007f"_s, u"c\nd\u2029"_s};
    for (const QString& printed : {SettingValueText::format(list), SettingValueText::display(list)}) {
        SCOPED_TRACE(printed.toStdString());
        EXPECT_FALSE(SettingValueText::holdsControlCharacters(printed));
        EXPECT_EQ(SettingValueText::parse(type<QStringList>(), printed), list);
    }
}

} // namespace
} // namespace ebbcast
