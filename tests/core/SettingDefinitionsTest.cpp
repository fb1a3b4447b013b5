#include "core/settings/SettingDefinitions.h"

#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/RecordingAudioFormat.h"
#include "core/settings/SettingsFile.h"
#include "support/TemporaryFolder.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaProperty>
#include <QSet>
#include <QSignalSpy>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

TEST(SettingDefinitions, TheStoreHasOnePropertyPerSettingInTheTablesOrder)
{
    const QList<SettingDefinition>& settings = SettingDefinitions::all();
    const QMetaObject& meta = PreferencesStore::staticMetaObject;
    ASSERT_EQ(meta.propertyCount() - meta.propertyOffset(), settings.size());
    QSet<QString> keys;
    for (qsizetype i = 0; i < settings.size(); ++i) {
        const SettingDefinition& setting = settings.at(i);
        SCOPED_TRACE(setting.key.toStdString());
        const QMetaProperty property = meta.property(meta.propertyOffset() + static_cast<int>(i));
        EXPECT_EQ(QString::fromLatin1(property.name()), setting.key);
        EXPECT_EQ(property.metaType(), setting.type());
        EXPECT_TRUE(property.hasNotifySignal() && property.isWritable());
        EXPECT_EQ(setting.defaultValue.metaType(), setting.type());
        EXPECT_TRUE(setting.load(setting.stored(setting.defaultValue)) == setting.defaultValue)
            << "the default is written as a value that loads back";
        EXPECT_FALSE(keys.contains(setting.key.toLower())) << "keys differ even without regard to case";
        keys.insert(setting.key.toLower());
    }
    EXPECT_EQ(SettingDefinitions::find(u"SILENCEthreshold", Qt::CaseInsensitive)->key, u"silenceThreshold"_s);
    EXPECT_EQ(SettingDefinitions::find(u"SILENCEthreshold"), nullptr);
    EXPECT_EQ(SettingDefinitions::indexOf(u"objectName"), -1);
}

TEST(SettingDefinitions, EachKindLoadsOnlyWhatItsRuleAccepts)
{
    const auto kind = [](SettingKind k) {
        return SettingDefinition{u"k"_s, k, QVariant()};
    };
    struct Case {
        SettingKind kind;
        QJsonValue stored;
        QVariant loaded; // invalid: the default applies
    };
    const Case cases[] = {
        {SettingKind::string, u""_s, u""_s},
        {SettingKind::string, 42, {}},
        {SettingKind::string, QJsonValue::Null, {}},
        {SettingKind::string, QJsonValue::Undefined, {}},
        {SettingKind::boolean, false, false},
        {SettingKind::boolean, 1, {}},
        {SettingKind::boolean, u"true"_s, {}},
        {SettingKind::number, -2.5, -2.5},
        {SettingKind::number, 3, 3.0},
        {SettingKind::number, u"3"_s, {}},
        {SettingKind::displayID, 7, QVariant::fromValue(7U)},
        {SettingKind::displayID, 4294967295.9, QVariant::fromValue(4294967295U)},
        {SettingKind::displayID, 4294967296.0, {}},
        {SettingKind::displayID, 4294967296LL, {}},
        {SettingKind::displayID, -0.5, {}},
        {SettingKind::displayID, -1, {}},
        {SettingKind::displayID, true, {}},
        {SettingKind::stringList, QJsonArray{}, QStringList{}},
        {SettingKind::stringList, QJsonArray{u"a"_s, u"b"_s}, QStringList{u"a"_s, u"b"_s}},
        {SettingKind::stringList, QJsonArray{u"a"_s, 1}, {}},
        {SettingKind::stringList, u"a"_s, {}},
        {SettingKind::audioFormat, u"wav"_s,
         QVariant::fromValue(RecordingAudioFormat(RecordingAudioFormat::wav))},
        {SettingKind::audioFormat, u"WAV"_s, {}},
        {SettingKind::audioFormat, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QJsonDocument(QJsonArray{c.stored}).toJson(QJsonDocument::Compact).toStdString());
        const std::optional<QVariant> loaded = kind(c.kind).load(c.stored);
        EXPECT_EQ(loaded.has_value(), c.loaded.isValid());
        if (loaded) {
            EXPECT_EQ(loaded->metaType(), kind(c.kind).type());
            EXPECT_TRUE(*loaded == c.loaded);
        }
    }
}

TEST(SettingDefinitions, AssigningByKeyNotifiesAndWritesLikeTheTypedSetter)
{
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    SettingsFile file(folder.file(u"settings.json"_s), logger);
    PreferencesStore preferences(file, logger);
    QSignalSpy changed(&preferences, &PreferencesStore::defaultDisplayIDChanged);

    EXPECT_TRUE(preferences.setValue(u"defaultDisplayID", QVariant::fromValue(4294967295U)));
    EXPECT_EQ(preferences.defaultDisplayID(), 4294967295U);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.first().first().value<quint32>(), 4294967295U);
    EXPECT_EQ(file.load(), (QJsonObject{{u"defaultDisplayID"_s, 4294967295LL}}));

    EXPECT_FALSE(preferences.setValue(u"objectName", u"x"_s)) << "a property, but no setting";
    EXPECT_FALSE(preferences.setValue(u"noSuchKey", u"x"_s));
    EXPECT_FALSE(preferences.value(u"noSuchKey").isValid());
    EXPECT_EQ(file.load().size(), 1);
}

} // namespace
} // namespace ebbcast
