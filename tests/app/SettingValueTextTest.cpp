#include "app/SettingValueText.h"

#include "app/SettingRules.h"
#include "app/SettingsFileCheck.h"
#include "core/json/JsonDocumentFile.h"
#include "core/settings/RecordingAudioFormat.h"

#include <QJsonArray>
#include <QJsonObject>
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

TEST(SettingRules, RangesAndFormsWhereASettingHasThem)
{
    struct Case {
        QString key;
        QVariant value;
        bool accepted;
    };
    const Case cases[] = {
        {u"silenceThreshold"_s, 0.0, true},
        {u"silenceThreshold"_s, 1.0, true},
        {u"silenceThreshold"_s, 1.0001, false},
        {u"silenceThreshold"_s, -0.0001, false},
        {u"autoStopSilenceSeconds"_s, 0.001, true},
        {u"autoStopSilenceSeconds"_s, 0.0, false},
        {u"microphonePromptCooldownSeconds"_s, -1.0, false},
        {u"recordingFolderPath"_s, u"/srv/recordings"_s, true},
        {u"recordingFolderPath"_s, u"~"_s, true},
        {u"recordingFolderPath"_s, u"~ada/Movies"_s, true},
        {u"recordingFolderPath"_s, u"Movies"_s, false},
        {u"recordingFolderPath"_s, u"./Movies"_s, false},
        {u"recordingFolderPath"_s, u""_s, false},
        {u"webhookURL"_s, u""_s, true},
        {u"webhookURL"_s, u"https://hooks.example.test/T0/B1?k=v"_s, true},
        {u"glossenGatewayBaseURL"_s, u"http://gateway.internal:8000"_s, true},
        {u"glossenGatewayBaseURL"_s, u"gateway.internal:8000"_s, false},
        {u"glossenGatewayBaseURL"_s, u"local"_s, true},
        {u"glossenGatewayBaseURL"_s, u" LOCAL "_s, true},
        {u"glossenGatewayBaseURL"_s, u""_s, true},
        {u"glossenGatewayBaseURL"_s, u"localhost"_s, false},
        {u"glossenGatewayBaseURL"_s, u"local gateway"_s, false},
        {u"webhookURL"_s, u"local"_s, false},
        {u"clockSyncURL"_s, u"file:///etc/passwd"_s, false},
        {u"updateFeedURL"_s, u"https://"_s, false},
        {u"googleDriveFolderURL"_s, u"https://drive.example.test/a b"_s, false},
        {u"recorderName"_s, u""_s, true},
        {u"glossenGatewayToken"_s, u"anything at all"_s, true},
        {u"defaultDisplayID"_s, QVariant::fromValue(quint32(4294967295u)), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QString(c.key + u' ' + c.value.toString()).toStdString());
        const auto problem = SettingRules::problem(c.key, c.value);
        EXPECT_EQ(!problem.has_value(), c.accepted);
        if (problem) {
            EXPECT_EQ(*problem, SettingRules::expectation(c.key, c.value.metaType()));
        }
    }
    for (const QString& secret : {u"glossenGatewayToken"_s, u"googleClientSecret"_s, u"webhookURL"_s})
        EXPECT_TRUE(SettingRules::isSecret(secret));
    EXPECT_FALSE(SettingRules::isSecret(u"googleClientID"_s));
}

TEST(SettingsFileCheck, NamesTheKeysTheStoreFallsBackForButNoValues)
{
    JsonDocumentFile::ReadResult stored;
    stored.status = JsonDocumentFile::ReadResult::Status::ok;
    stored.object = QJsonObject{
        {u"silenceThreshold"_s, 0.5},                       // fine
        {u"defaultDisplayID"_s, 12.7},                      // fine: fractions are cut off
        {u"audioFormat"_s, u"wav"_s},                       // fine
        {u"enabledWatchListApps"_s, QJsonArray{u"Zoom"_s}}, // fine
        {u"somethingNewer"_s, u"kept"_s},                   // not ours: not a problem
        {u"webhookURL"_s, 42},                              // a secret of the wrong kind
        {u"autoStartRecording"_s, u"yes"_s},
        {u"enabledWatchListApps2"_s, 1},
        {u"recorderName"_s, QJsonArray{}},
    };
    stored.membersWithIllegalNumbers = {u"microphonePromptCooldownSeconds"_s};
    const QStringList problems = SettingsFileCheck::problems(u"/c/settings.json"_s, stored);
    EXPECT_EQ(
        problems,
        (QStringList{
            u"the settings file /c/settings.json holds numbers out of range for "
            "microphonePromptCooldownSeconds; their defaults are used"_s,
            u"the settings file /c/settings.json holds a value for autoStartRecording that is not true or "
            "false; its default is used"_s,
            u"the settings file /c/settings.json holds a value for recorderName that is not a string; its "
            "default is used"_s,
            u"the settings file /c/settings.json holds a value for webhookURL that is not a string; its "
            "default is used"_s,
        }));
    EXPECT_FALSE(problems.join(u' ').contains(u"42"_s));

    const auto wrongKind = [](const QJsonValue& value, const QString& key) {
        JsonDocumentFile::ReadResult one;
        one.status = JsonDocumentFile::ReadResult::Status::ok;
        one.object = QJsonObject{{key, value}};
        return SettingsFileCheck::problems(u"/s"_s, one).size() == 1;
    };
    EXPECT_TRUE(wrongKind(-1, u"defaultDisplayID"_s));
    EXPECT_TRUE(wrongKind(4294967296.0, u"defaultDisplayID"_s));
    EXPECT_FALSE(wrongKind(4294967295.0, u"defaultDisplayID"_s));
    EXPECT_TRUE(wrongKind(u"flac"_s, u"audioFormat"_s));
    EXPECT_TRUE(wrongKind(QJsonArray{u"Zoom"_s, 1}, u"enabledWatchListApps"_s));
    EXPECT_TRUE(wrongKind(u"0.5"_s, u"silenceThreshold"_s));
    EXPECT_FALSE(wrongKind(QJsonValue::Null, u"silenceThreshold"_s)) << "null is no stored value";

    JsonDocumentFile::ReadResult unreadable;
    unreadable.status = JsonDocumentFile::ReadResult::Status::unreadable;
    unreadable.problem = u"not a JSON object"_s;
    EXPECT_EQ(
        SettingsFileCheck::problems(u"/c/settings.json"_s, unreadable),
        QStringList{u"the settings file /c/settings.json cannot be read (not a JSON object); the defaults "
                    "are used, and the next change keeps the file aside as "
                    "/c/settings.json.corrupt-<time>"_s});
    EXPECT_TRUE(SettingsFileCheck::problems(u"/c/settings.json"_s, JsonDocumentFile::ReadResult{}).isEmpty())
        << "a missing file is no problem";
}

} // namespace
} // namespace ebbcast
