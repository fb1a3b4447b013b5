#include "core/settings/PreferencesStore.h"

#include "core/base/Logger.h"
#include "core/settings/SettingsFile.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaProperty>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <memory>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

class PreferencesStoreTest : public ::testing::Test {
protected:
    QString settingsPath() const { return folder_.file(u"config/Tavilon/settings.json"_s); }
    QString settingsFolder() const { return QFileInfo(settingsPath()).absolutePath(); }
    QString logPath() const { return folder_.file(u"state/app.log"_s); }

    void store(const QByteArray& bytes) { test::TemporaryFolder::writeAll(settingsPath(), bytes); }
    void store(const QJsonObject& values) { store(QJsonDocument(values).toJson()); }

    PreferencesStore& open()
    {
        preferences_.reset();
        file_ = std::make_unique<SettingsFile>(settingsPath(), logger_);
        preferences_ = std::make_unique<PreferencesStore>(*file_, logger_);
        return *preferences_;
    }

    QJsonObject onDisk() const
    {
        return QJsonDocument::fromJson(test::TemporaryFolder::readAll(settingsPath())).object();
    }

    QByteArray log()
    {
        logger_.flush();
        return test::TemporaryFolder::readAll(logPath());
    }

    QStringList corruptCopies() const
    {
        return QDir(settingsFolder()).entryList({u"settings.json.corrupt-*"_s}, QDir::Files);
    }

    test::TemporaryFolder folder_;
    Logger logger_{logPath()};
    std::unique_ptr<SettingsFile> file_;
    std::unique_ptr<PreferencesStore> preferences_;
};

TEST_F(PreferencesStoreTest, EmptyDomainGivesEveryDefaultAndWritesNothing)
{
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.recordingFolderPath(), u"~/Movies/Tavilon"_s);
    EXPECT_EQ(preferences.defaultDisplayID(), 0U);
    EXPECT_EQ(preferences.micInputDeviceName(), QString());
    EXPECT_EQ(preferences.audioFormat(), RecordingAudioFormat::m4a);
    EXPECT_FALSE(preferences.autoStartRecording());
    EXPECT_EQ(preferences.silenceThreshold(), 0.025);
    EXPECT_EQ(preferences.autoStopSilenceSeconds(), 10.0);
    EXPECT_FALSE(preferences.onlyAutoRecordWatchedApps());
    EXPECT_TRUE(preferences.promptWhenMicrophoneIsUsed());
    EXPECT_FALSE(preferences.onlyPromptWatchedApps());
    EXPECT_EQ(preferences.microphonePromptCooldownSeconds(), 120.0);
    EXPECT_EQ(preferences.enabledWatchListApps(), (QStringList{u"Zoom"_s, u"Google Chrome"_s, u"Safari"_s,
                                                               u"Slack"_s, u"OBS"_s, u"Premiere Pro"_s}));
    EXPECT_EQ(preferences.recorderID(), u"velno"_s);
    EXPECT_EQ(preferences.recorderName(), u"Velno"_s);
    EXPECT_FALSE(preferences.googleUploadEnabled());
    EXPECT_EQ(preferences.googleClientSecret(), QString());
    EXPECT_EQ(preferences.webhookURL(), QString());
    EXPECT_FALSE(preferences.clockSyncEnabled());
    EXPECT_EQ(preferences.clockSyncURL(), QString());
    EXPECT_EQ(preferences.corvanePelkoUserID(), QString());
    EXPECT_FALSE(preferences.enableLiveTranscription());
    // The test programs' default gateway: none (EBBCAST_GATEWAY_BASE_URL empty), whatever the build's.
    EXPECT_EQ(preferences.glossenGatewayBaseURL(), QString());
    EXPECT_EQ(preferences.glossenGatewayToken(), QString());
    EXPECT_FALSE(QFile::exists(settingsPath()));
    EXPECT_FALSE(QDir(settingsFolder()).exists());
}

// Live transcription is on by default while the gateway is the local one; a value of its own, true or false,
// wins over that default, and the default is never written.
TEST_F(PreferencesStoreTest, LiveTranscriptionFollowsTheLocalGatewayUntilItIsSet)
{
    store(QJsonObject{{u"glossenGatewayBaseURL"_s, u" Local "_s}});
    PreferencesStore& preferences = open();
    EXPECT_TRUE(preferences.enableLiveTranscription());
    EXPECT_EQ(preferences.value(u"enableLiveTranscription"), QVariant(true));

    QSignalSpy changed(&preferences, &PreferencesStore::enableLiveTranscriptionChanged);
    preferences.setGlossenGatewayBaseURL(u"https://gateway.example.test/gw"_s);
    EXPECT_FALSE(preferences.enableLiveTranscription());
    preferences.setGlossenGatewayBaseURL(u"LOCAL"_s);
    preferences.setGlossenGatewayBaseURL(u"local"_s); // no change, no signal
    EXPECT_TRUE(preferences.enableLiveTranscription());
    ASSERT_EQ(changed.size(), 2);
    EXPECT_FALSE(changed.at(0).at(0).toBool());
    EXPECT_TRUE(changed.at(1).at(0).toBool());
    EXPECT_FALSE(onDisk().contains(u"enableLiveTranscription"_s));

    preferences.setEnableLiveTranscription(false);
    preferences.setGlossenGatewayBaseURL(u"https://gateway.example.test/gw"_s);
    preferences.setGlossenGatewayBaseURL(u"local"_s);
    EXPECT_FALSE(preferences.enableLiveTranscription());
    EXPECT_EQ(changed.size(), 3);
    EXPECT_FALSE(open().enableLiveTranscription()) << "a stored false stays false";

    store(QJsonObject{{u"glossenGatewayBaseURL"_s, u"https://gateway.example.test/gw"_s},
                      {u"enableLiveTranscription"_s, true}});
    EXPECT_TRUE(open().enableLiveTranscription());
    store(QJsonObject{{u"glossenGatewayBaseURL"_s, u"localhost"_s}});
    EXPECT_FALSE(open().enableLiveTranscription());
}

TEST_F(PreferencesStoreTest, ValuesOfTheWrongKindLoadAsDefaults)
{
    store(QJsonObject{{u"silenceThreshold"_s, u"0.5"_s},
                      {u"autoStartRecording"_s, 1},
                      {u"promptWhenMicrophoneIsUsed"_s, u"false"_s},
                      {u"recorderID"_s, 42},
                      {u"enabledWatchListApps"_s, QJsonArray{u"Zoom"_s, 3}},
                      {u"microphonePromptCooldownSeconds"_s, QJsonArray{}}});
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.silenceThreshold(), 0.025);
    EXPECT_FALSE(preferences.autoStartRecording());
    EXPECT_TRUE(preferences.promptWhenMicrophoneIsUsed());
    EXPECT_EQ(preferences.recorderID(), u"velno"_s);
    EXPECT_EQ(preferences.enabledWatchListApps(), PreferencesStore::defaultWatchList());
    EXPECT_EQ(preferences.microphonePromptCooldownSeconds(), 120.0);
}

TEST_F(PreferencesStoreTest, EmptyStoredValuesStayEmpty)
{
    store(QJsonObject{{u"updateFeedURL"_s, u""_s}, {u"enabledWatchListApps"_s, QJsonArray{}}});
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.updateFeedURL(), QString());
    EXPECT_TRUE(preferences.enabledWatchListApps().isEmpty());

    preferences.setEnabledWatchListApps({});
    EXPECT_EQ(onDisk().value(u"enabledWatchListApps"_s), QJsonArray{});
    EXPECT_TRUE(open().enabledWatchListApps().isEmpty());
}

TEST_F(PreferencesStoreTest, AudioFormatLoadsWavOnlyFromExactlyWav)
{
    const std::pair<QJsonValue, RecordingAudioFormat> cases[] = {
        {u"wav"_s, RecordingAudioFormat::wav}, {u"m4a"_s, RecordingAudioFormat::m4a},
        {u"WAV"_s, RecordingAudioFormat::m4a}, {u"flac"_s, RecordingAudioFormat::m4a},
        {7, RecordingAudioFormat::m4a},
    };
    for (const auto& [stored, expected] : cases) {
        store(QJsonObject{{u"audioFormat"_s, stored}});
        EXPECT_EQ(open().audioFormat(), expected) << QJsonDocument(QJsonArray{stored}).toJson().constData();
    }
    open().setAudioFormat(RecordingAudioFormat::wav);
    EXPECT_EQ(onDisk().value(u"audioFormat"_s), QJsonValue(u"wav"_s));
}

TEST_F(PreferencesStoreTest, DisplayIdentifierOutsideTheUnsigned32BitRangeLoadsAsTheMainDisplay)
{
    const std::pair<QJsonValue, quint32> cases[] = {
        {7, 7U},
        {4294967295LL, 4294967295U},
        {4294967296LL, 0U},
        {-1, 0U},
        {7.9, 7U},
        {u"7"_s, 0U},
        {true, 0U},
        {1e300, 0U},
    };
    for (const auto& [stored, expected] : cases) {
        store(QJsonObject{{u"defaultDisplayID"_s, stored}});
        EXPECT_EQ(open().defaultDisplayID(), expected)
            << QJsonDocument(QJsonArray{stored}).toJson().constData();
    }
    open().setDefaultDisplayID(4294967295U);
    EXPECT_EQ(onDisk().value(u"defaultDisplayID"_s).toVariant(), QVariant(4294967295LL));
}

unsigned modeOf(const QString& path)
{
    struct stat status {};
    ::stat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

// A value different from the current one, for any setting type.
QVariant otherValue(const QMetaProperty& property, const QVariant& current, int n)
{
    const QMetaType type = property.metaType();
    if (type == QMetaType::fromType<bool>())
        return !current.toBool();
    if (type == QMetaType::fromType<double>())
        return 0.5 + n;
    if (type == QMetaType::fromType<quint32>())
        return QVariant::fromValue(4000000000U + static_cast<quint32>(n));
    if (type == QMetaType::fromType<QStringList>())
        return QStringList{u"Teams/Work"_s, u"\u00e9"_s};
    if (type == QMetaType::fromType<RecordingAudioFormat>())
        return QVariant::fromValue(RecordingAudioFormat(RecordingAudioFormat::wav));
    return u"value/%1 \"quoted\""_s.arg(n);
}

TEST_F(PreferencesStoreTest, EveryAssignmentNotifiesAndPersistsAtOnceWithItsTypedValue)
{
    PreferencesStore& preferences = open();
    const QMetaObject* meta = preferences.metaObject();
    ASSERT_EQ(meta->propertyCount() - meta->propertyOffset(), 26);
    std::vector<std::pair<QMetaProperty, QVariant>> assigned;
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        SCOPED_TRACE(property.name());
        const QVariant value = otherValue(property, property.read(&preferences), i);
        QSignalSpy changed(&preferences, property.notifySignal());
        ASSERT_TRUE(property.write(&preferences, value));
        EXPECT_EQ(changed.count(), 1);
        EXPECT_TRUE(onDisk().contains(QString::fromLatin1(property.name()))) << "written at once";
        assigned.emplace_back(property, value);
    }

    const QJsonObject disk = onDisk();
    EXPECT_TRUE(disk.value(u"autoStartRecording"_s).isBool());
    EXPECT_TRUE(disk.value(u"silenceThreshold"_s).isDouble());
    EXPECT_TRUE(disk.value(u"enabledWatchListApps"_s).isArray());
    EXPECT_EQ(disk.value(u"audioFormat"_s), QJsonValue(u"wav"_s));

    PreferencesStore& reopened = open();
    for (const auto& [property, value] : assigned)
        EXPECT_EQ(property.read(&reopened), value) << property.name();
}

TEST_F(PreferencesStoreTest, AssigningTheSameValueAgainWritesAgain)
{
    PreferencesStore& preferences = open();
    preferences.setRecorderName(u"Ada"_s);
    ASSERT_TRUE(QFile::remove(settingsPath()));
    preferences.setRecorderName(u"Ada"_s);
    EXPECT_EQ(onDisk().value(u"recorderName"_s), QJsonValue(u"Ada"_s));
}

TEST_F(PreferencesStoreTest, SettingsFileIsPrivateToTheUser)
{
    open().setGlossenGatewayToken(u"secret"_s);
    EXPECT_EQ(modeOf(settingsPath()), 0600U);
    EXPECT_EQ(modeOf(settingsFolder()), 0700U);
    EXPECT_FALSE(log().contains("secret"));
}

TEST_F(PreferencesStoreTest, CorruptFileLoadsDefaultsAndIsKeptAsideBeforeTheFirstWrite)
{
    const QByteArray corrupt = "{\"recorderName\": \"Ada\", oops";
    store(corrupt);
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.recorderName(), u"Velno"_s);
    EXPECT_EQ(log().count("[ERROR] "), 1);
    EXPECT_TRUE(log().contains("[ERROR] Failed to read settings: "));
    EXPECT_EQ(test::TemporaryFolder::readAll(settingsPath()), corrupt) << "loading does not touch the file";
    EXPECT_TRUE(corruptCopies().isEmpty());

    preferences.setRecorderID(u"ada"_s);
    EXPECT_EQ(onDisk(), (QJsonObject{{u"recorderID"_s, u"ada"_s}}));
    ASSERT_EQ(corruptCopies().size(), 1);
    EXPECT_EQ(test::TemporaryFolder::readAll(settingsFolder() + u'/' + corruptCopies().first()), corrupt);

    preferences.setRecorderName(u"Ada"_s);
    EXPECT_EQ(corruptCopies().size(), 1) << "a repaired file is not kept aside again";
}

TEST_F(PreferencesStoreTest, NullValuesAreNotStoredAndAreDroppedAtTheNextChange)
{
    store("{\"recordingFolderPath\": null, \"enabledWatchListApps\": null, \"recorderID\": \"ada\"}");
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.recordingFolderPath(), u"~/Movies/Tavilon"_s);
    EXPECT_EQ(preferences.enabledWatchListApps(), PreferencesStore::defaultWatchList());
    EXPECT_FALSE(file_->load().contains(u"recordingFolderPath"_s));

    QSignalSpy failed(&preferences, &PreferencesStore::saveFailed);
    preferences.setRecorderName(u"Ada"_s);
    EXPECT_EQ(failed.count(), 0);
    EXPECT_EQ(onDisk(), (QJsonObject{{u"recorderID"_s, u"ada"_s}, {u"recorderName"_s, u"Ada"_s}}));
    file_->setValue(u"recorderID"_s, QJsonValue::Null);
    EXPECT_EQ(onDisk(), (QJsonObject{{u"recorderName"_s, u"Ada"_s}})) << "storing null forgets the key";
    EXPECT_TRUE(corruptCopies().isEmpty());
    EXPECT_FALSE(log().contains("[ERROR] "));
}

TEST_F(PreferencesStoreTest, NumbersOutOfRangeFallBackPerKeyAndAreDroppedAtTheNextChange)
{
    store("{\"silenceThreshold\": 1e309, \"glossenGatewayToken\": -7e999999, \"autoStopSilenceSeconds\": 3,\n"
          " \"recorderName\": \"Ada\"}");
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.silenceThreshold(), 0.025);
    EXPECT_EQ(preferences.glossenGatewayToken(), QString());
    EXPECT_EQ(preferences.autoStopSilenceSeconds(), 3.0);
    EXPECT_EQ(preferences.recorderName(), u"Ada"_s);
    const QByteArray lines = log();
    EXPECT_EQ(lines.count("[ERROR] "), 1);
    EXPECT_TRUE(lines.contains("glossenGatewayToken, silenceThreshold")) << lines.constData();
    EXPECT_FALSE(lines.contains("7e999999")) << "values are never logged";

    preferences.setRecorderID(u"ada"_s);
    EXPECT_EQ(onDisk(), (QJsonObject{{u"autoStopSilenceSeconds"_s, 3},
                                     {u"recorderName"_s, u"Ada"_s},
                                     {u"recorderID"_s, u"ada"_s}}));
    EXPECT_TRUE(corruptCopies().isEmpty()) << "a file with a bad number is not corrupt";
}

TEST_F(PreferencesStoreTest, AFifoInPlaceOfTheFileLoadsDefaultsAndIsMovedAsideAtTheFirstChange)
{
    QDir().mkpath(settingsFolder());
    ASSERT_EQ(::mkfifo(QFile::encodeName(settingsPath()).constData(), 0600), 0);
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.recorderName(), u"Velno"_s);
    EXPECT_TRUE(log().contains("(not a regular file)"));

    preferences.setRecorderName(u"Ada"_s);
    EXPECT_EQ(onDisk(), (QJsonObject{{u"recorderName"_s, u"Ada"_s}}));
    const QStringList aside =
        QDir(settingsFolder()).entryList({u"settings.json.corrupt-*"_s}, QDir::Files | QDir::System);
    ASSERT_EQ(aside.size(), 1);
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(settingsFolder() + u'/' + aside.first()).constData(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

TEST_F(PreferencesStoreTest, FailedWritesKeepTheValueInMemoryAndAreReportedNotThrown)
{
    test::TemporaryFolder::writeAll(folder_.file(u"config"_s), "a file where the folder should be");
    PreferencesStore& preferences = open();
    QSignalSpy failed(&preferences, &PreferencesStore::saveFailed);
    preferences.setRecorderName(u"Ada"_s);
    EXPECT_EQ(preferences.recorderName(), u"Ada"_s);
    ASSERT_EQ(failed.count(), 1);
    EXPECT_EQ(failed.at(0).at(0).toString(), u"recorderName"_s);
    EXPECT_TRUE(log().contains("[ERROR] Failed to save setting recorderName: "));
}

TEST_F(PreferencesStoreTest, NumberJsonCannotHoldIsNotWritten)
{
    PreferencesStore& preferences = open();
    preferences.setSilenceThreshold(0.5);
    QSignalSpy failed(&preferences, &PreferencesStore::saveFailed);
    preferences.setSilenceThreshold(std::nan(""));
    EXPECT_EQ(failed.count(), 1);
    EXPECT_EQ(onDisk().value(u"silenceThreshold"_s).toDouble(), 0.5);
}

TEST_F(PreferencesStoreTest, WritersOfDifferentKeysLoseNothing)
{
    constexpr int rounds = 60;
    const auto writer = [this](const QString& key) {
        SettingsFile file(settingsPath(), logger_); // each with its own lock descriptor, like a process
        for (int i = 1; i <= rounds; ++i)
            file.setValue(key, i);
    };
    std::thread first(writer, u"silenceThreshold"_s);
    std::thread second(writer, u"autoStopSilenceSeconds"_s);
    first.join();
    second.join();
    EXPECT_EQ(onDisk().value(u"silenceThreshold"_s).toInt(), rounds);
    EXPECT_EQ(onDisk().value(u"autoStopSilenceSeconds"_s).toInt(), rounds);
}

TEST_F(PreferencesStoreTest, RecordingFolderUrlExpandsTheHomeFolderAndIsADirectory)
{
    PreferencesStore& preferences = open();
    EXPECT_EQ(preferences.recordingFolderURL(),
              QUrl::fromLocalFile(QDir::homePath() + u"/Movies/Tavilon/"_s));
    preferences.setRecordingFolderPath(u"/srv/recordings"_s);
    EXPECT_EQ(preferences.recordingFolderURL(), QUrl(u"file:///srv/recordings/"_s));
    preferences.setRecordingFolderPath(u"~"_s);
    EXPECT_EQ(preferences.recordingFolderURL(), QUrl::fromLocalFile(QDir::homePath() + u'/'));
    preferences.setRecordingFolderPath(u"~root/rec"_s);
    EXPECT_EQ(preferences.recordingFolderURL(), QUrl(u"file:///root/rec/"_s));
}

} // namespace
} // namespace ebbcast
