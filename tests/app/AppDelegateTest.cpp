#include "app/AppDelegate.h"

#include "app/AppComponentFactory.h"
#include "app/FakeAppComponents.h"
#include "app/SessionControl.h"
#include "app/SettingsWiring.h"
#include "capture/AppActivityMonitor.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/Recorder.h"
#include "capture/WavFileWriter.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/DriveWebLinks.h"
#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/UserNotifier.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/documents/SessionMetadata.h"
#include "core/documents/WrapUpMetadata.h"
#include "core/documents/WrapUpSessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "drive/DriveTestBed.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "drive/UploadManager.h"
#include "drive/UploadStateFile.h"
#include "model/EbbcastAppModel.h"
#include "relay/CorvanePelkoNotifier.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/RecorderFactory.h"
#include "session/RecordingSession.h"
#include "shell/FakeLogind.h"
#include "shell/ShutdownInhibitor.h"
#include "support/FakeAudioInputEngine.h"
#include "support/FakeDeviceUsageQuery.h"
#include "support/FakeFrontmostApplicationSource.h"
#include "support/FakeGlossenGateway.h"
#include "support/FakeHttpServer.h"
#include "support/InMemorySecretStore.h"
#include "support/InterruptedSession.h"
#include "support/PreparedSession.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/GlossenGatewayClient.h"
#include "transcription/SessionChunks.h"

#include <QCoro/QCoroTimer>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTest>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::FakeComponents;
using test::TrackScript;

class AppDelegateTest : public ::testing::Test {
protected:
    AppDelegateTest() { settings({}); }

    // Writes the settings file the application starts with: no clock sync, recordings in the test's folder.
    void settings(QJsonObject values)
    {
        values.insert(u"clockSyncEnabled"_s, false);
        values.insert(u"recordingFolderPath"_s, recordings());
        test::TemporaryFolder::writeAll(folder_.file(u"config/settings.json"_s),
                                        QJsonDocument(values).toJson());
    }

    QString recordings() const { return folder_.file(u"Recordings"_s); }

    // Runs the event loop until `done` holds, for at most five seconds.
    static bool waitFor(const std::function<bool()>& done)
    {
        QDeadlineTimer deadline(5000);
        while (!done() && !deadline.hasExpired())
            QTest::qWait(5);
        return done();
    }

    // Waits until the work a test set off is over (a final transcript is written on a pool thread with the
    // delegate's components), so that the delegate ends with nothing in flight.
    static bool settled(const AppDelegate& delegate)
    {
        return waitFor([&delegate] { return !delegate.hasWorkInFlight(); });
    }

    QStringList logLines() const
    {
        return QString::fromUtf8(test::TemporaryFolder::readAll(folder_.file(u"state/app.log"_s)))
            .split(u'\n', Qt::SkipEmptyParts);
    }

    test::TemporaryFolder folder_;
};

TEST_F(AppDelegateTest, ComponentsAreMadeOnceInOrderAndTheInterruptedSessionIsRepairedBeforeRestores)
{
    const QString crashed = recordings() + u"/2026-12-07_09-00-00"_s;
    test::writeInterruptedSession(crashed, u"2026-12-07_09-00-00"_s,
                                  QDateTime(QDate(2026, 12, 7), QTime(9, 0), QTimeZone::utc()));
    settings({{u"googleUploadEnabled"_s, true}, {u"enableLiveTranscription"_s, true}});
    FakeComponents components(folder_);
    int exitStatus = -1;
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [&](int status) {
                                                   exitStatus = status;
                                               }}});
    delegate.launch();

    EXPECT_EQ(components.created, (QStringList{u"logger"_s,      u"settings file"_s, u"network"_s,
                                               u"preferences"_s, u"model"_s,         u"notifier"_s,
                                               u"alerts"_s,      u"permissions"_s,   u"app activity"_s,
                                               u"clock sync"_s,  u"session"_s,       u"google auth"_s,
                                               u"drive"_s,       u"uploads"_s,       u"gateway"_s,
                                               u"relay"_s,       u"audio monitor"_s, u"microphone monitor"_s,
                                               u"tray"_s,        u"shutdown delay"_s}));
    // The repair ran during the launch: its status shows before the event loop delivers anything.
    EbbcastAppModel& model = *delegate.model();
    EXPECT_EQ(model.statusMessage(), u"Recovered interrupted session: 2026-12-07_09-00-00"_s);
    EXPECT_EQ(model.lastSessionFolder(), crashed);
    EXPECT_FALSE(QFile::exists(crashed + u"/.ebbcast_recording_active"_s));
    // automatic recording is off by default: the sound monitor stays off, the microphone monitor runs
    EXPECT_FALSE(delegate.audioActivityMonitor()->isMonitoring());

    // The repaired session is handed to the upload (which fails: nobody is signed in) and to the final
    // transcript, whose status the model shows.
    ASSERT_TRUE(waitFor([&] { return components.notifications.contains(u"Ebbcast upload failed"_s); }));
    EXPECT_EQ(model.statusMessage(), u"Upload failed: 2026-12-07_09-00-00"_s);
    EXPECT_FALSE(model.googleConnected());
    EXPECT_TRUE(waitFor([&] { return !model.transcriptStatus().isEmpty(); }));

    delegate.logger()->flush(); // lines are written from the logger's queue
    const QStringList log = logLines();
    const auto position = [&log](const QString& text) {
        for (qsizetype index = 0; index < log.size(); ++index) {
            if (log.at(index).contains(text))
                return index;
        }
        return qsizetype(-1);
    };
    EXPECT_GE(position(u"Ebbcast started"_s), 0);
    EXPECT_LT(position(u"2026-12-07_09-00-00"_s), position(u"Ebbcast started"_s))
        << log.join(u'\n').toStdString();

    delegate.quitCoordinator().requestQuit(QuitReason::menu());
    ASSERT_TRUE(waitFor([&] { return exitStatus == 0; }));
    EXPECT_EQ(delegate.session(), nullptr) << "torn down";
}

TEST_F(AppDelegateTest, AutomaticRecordingStartsTheSoundMonitorAtLaunchAndAfterEachRecording)
{
    settings({{u"autoStartRecording"_s, true}});
    FakeComponents components(folder_);
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    AudioActivityMonitor& monitor = *delegate.audioActivityMonitor();
    EXPECT_TRUE(monitor.isMonitoring());

    delegate.startRecording(false);
    ASSERT_TRUE(waitFor([&] { return delegate.session()->isRecording(); }));
    EXPECT_FALSE(monitor.isMonitoring()) << "the recording measures its own levels";
    EbbcastAppModel& model = *delegate.model();
    ASSERT_TRUE(waitFor([&] { return model.state() == EbbcastRunState::recording; }));
    EXPECT_EQ(model.statusMessage(), u"Recording separate screen, mic, and system audio streams."_s);
    const QString folder = model.currentSessionFolder().value_or(QString());
    EXPECT_FALSE(folder.isEmpty());

    delegate.stopRecording();
    ASSERT_TRUE(waitFor([&] { return model.state() == EbbcastRunState::idle; }));
    EXPECT_TRUE(monitor.isMonitoring());
    // The stop completed the session: its status stays instead of "Ready".
    EXPECT_EQ(model.statusMessage(), u"Session saved: "_s + QFileInfo(folder).fileName());
    EXPECT_EQ(model.lastSessionFolder(), folder);
}

// Loud sound arrives with every buffer, about fifty a second, for as long as a start takes.
TEST_F(AppDelegateTest, LoudSoundStartsOneRecordingAtATimeAndAFailedStartPausesAutomaticStarts)
{
    settings({{u"autoStartRecording"_s, true}});
    FakeComponents components(folder_);
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    ASSERT_TRUE(delegate.audioActivityMonitor()->isMonitoring());
    const auto loudBuffers = [&](int count) {
        for (int index = 0; index < count; ++index) {
            components.audioEngine->deliver(1, 1024, 0.9F);
            QTest::qWait(2);
        }
    };

    // A slow start: loud buffers keep coming while it runs, and none of them begins another.
    components.script.holdStart = true;
    loudBuffers(40);
    EXPECT_EQ(components.script.starts, 1) << "the first track of one session started, no more";
    components.script.holdStart = false;
    ASSERT_TRUE(waitFor([&] { return delegate.session()->isRecording(); }));
    EXPECT_EQ(components.script.starts, 3);
    delegate.stopRecording();
    ASSERT_TRUE(waitFor(
        [&] { return !delegate.session()->isRecording() && !delegate.session()->isTransitioning(); }));
    ASSERT_TRUE(waitFor([&] { return delegate.audioActivityMonitor()->isMonitoring(); }));

    // A start that fails alerts once; the sound that goes on does not try again and again.
    components.script.failStart = true;
    loudBuffers(40);
    ASSERT_TRUE(waitFor([&] { return !delegate.session()->isTransitioning(); }));
    loudBuffers(40);
    QTest::qWait(50);
    EXPECT_EQ(components.alerts.size(), 1) << components.alerts.join(u'\n').toStdString();
    EXPECT_FALSE(delegate.session()->isRecording());

    // A changed setting ends the pause: the cause may be gone.
    components.script.failStart = false;
    delegate.preferences()->setSilenceThreshold(0.05);
    loudBuffers(5);
    ASSERT_TRUE(waitFor([&] { return delegate.session()->isRecording(); }));
    EXPECT_EQ(components.alerts.size(), 1);

    delegate.logger()->flush();
    const QStringList log = logLines();
    EXPECT_EQ(log.filter(u"Ignored recording start request"_s).size(), 0) << log.join(u'\n').toStdString();
    EXPECT_EQ(log.filter(u"Automatic recording pauses"_s).size(), 1);
}

TEST_F(AppDelegateTest, WhileIdleTheSoundMonitorFollowsAutomaticRecordingAtOnce)
{
    FakeComponents components(folder_);
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    AudioActivityMonitor& monitor = *delegate.audioActivityMonitor();
    PreferencesStore& preferences = *delegate.preferences();
    EXPECT_FALSE(monitor.isMonitoring());

    preferences.setAutoStartRecording(true);
    EXPECT_TRUE(monitor.isMonitoring());
    preferences.setAutoStartRecording(false);
    EXPECT_FALSE(monitor.isMonitoring()) << "the microphone is not kept open for a switched-off rule";

    // While recording the recording measures; the end of the recording follows the setting.
    delegate.startRecording(false);
    ASSERT_TRUE(waitFor([&] { return delegate.session()->isRecording(); }));
    preferences.setAutoStartRecording(true);
    EXPECT_FALSE(monitor.isMonitoring());
    delegate.stopRecording();
    ASSERT_TRUE(waitFor([&] { return !delegate.session()->isRecording() && monitor.isMonitoring(); }));
    preferences.setAutoStartRecording(false);
    EXPECT_FALSE(monitor.isMonitoring());
}

TEST_F(AppDelegateTest, HeadlessAMicrophonePromptIsALineAnsweredNotNow)
{
    settings({{u"promptWhenMicrophoneIsUsed"_s, true}, {u"microphonePromptCooldownSeconds"_s, 0}});
    FakeComponents components(folder_);
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    components.usage.busy = true;
    delegate.microphoneUsageMonitor()->poll();
    ASSERT_TRUE(waitFor([&] { return components.notifications.contains(u"Start recording?"_s); }));
    QTest::qWait(50);
    EXPECT_FALSE(delegate.session()->isRecording() || delegate.session()->isTransitioning());
    EXPECT_EQ(components.script.starts, 0);
}

// What "ebbcast ctl" and the D-Bus interface get: outcomes once the work has ended, the reason of a failure.
TEST_F(AppDelegateTest, SessionControlAnswersWithTheSessionFolderAndTheReasonOfAFailedStart)
{
    FakeComponents components(folder_);
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    SessionControl control(delegate, {});

    EXPECT_EQ(test::runTask(control.stop()), QString()) << "idle: nothing to stop";
    EXPECT_EQ(control.createMarker(u"Too early"_s), std::nullopt);
    EXPECT_EQ(control.status().value(u"state"_s).toString(), u"idle"_s);

    components.script.failStart = true;
    try {
        test::runTask(control.start());
        ADD_FAILURE() << "a failed start must throw";
    } catch (const EbbcastError& error) {
        EXPECT_TRUE(error.description().contains(u"no input device"_s)) << error.description().toStdString();
    }
    EXPECT_FALSE(delegate.session()->isRecording());

    components.script.failStart = false;
    const QString folder = test::runTask(control.start());
    ASSERT_TRUE(delegate.session()->isRecording());
    EXPECT_EQ(folder, delegate.session()->currentSessionFolder().value_or(QString()));
    EXPECT_EQ(test::runTask(control.start()), folder) << "already recording: the same session";
    EXPECT_EQ(control.status().value(u"state"_s).toString(), u"recording"_s);
    EXPECT_EQ(control.status().value(u"sessionFolder"_s).toString(), folder);
    const std::optional<double> marker = control.createMarker(u"Decision"_s);
    ASSERT_TRUE(marker.has_value());
    EXPECT_GE(*marker, 0.0);

    EXPECT_EQ(test::runTask(control.stop()), folder);
    EXPECT_FALSE(delegate.session()->isRecording());
}

TEST_F(AppDelegateTest, LiveTranscriptionResumesTheLatestSessionAtLaunchAndSendsEachChunkOnce)
{
    const QString token = u"gateway-token-3d9"_s;
    test::FakeHttpServer server;
    test::FakeGlossenGateway gateway(server, {token});
    test::FakeGlossenGateway::JobScript job;
    job.states = {u"COMPLETE"_s};
    job.artifacts = {
        test::FakeGlossenGateway::Artifact{.id = 5, .type = u"transcript-txt"_s, .content = "words"}};
    gateway.setDefaultScript(job);
    // A session stopped before the launch, never transcribed.
    const test::PreparedSession earlier = test::prepareStoppedSession(
        recordings(), {.microphoneChunks = 1, .systemAudioChunks = 1, .fileBytes = 1024});
    settings({{u"enableLiveTranscription"_s, true},
              {u"glossenGatewayBaseURL"_s, gateway.baseUrl().toString()},
              {u"glossenGatewayToken"_s, token}});
    FakeComponents components(folder_);
    components.script.chunkOnStop = true;
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    const auto statuses = [](const QString& folder) {
        QStringList found;
        for (const RecordingChunkMetadata& chunk : readSessionChunks(folder))
            found.append(chunk.transcriptionStatus.value_or(u"-"_s));
        return found;
    };
    delegate.launch();
    ASSERT_TRUE(waitFor([&] {
        return statuses(earlier.folder) == QStringList{u"complete"_s, u"complete"_s};
    })) << statuses(earlier.folder).join(u',').toStdString();

    // A recorded chunk is reported twice (document, audio): the gateway gets it once.
    delegate.startRecording(false);
    ASSERT_TRUE(waitFor([&] { return delegate.session()->isRecording(); }));
    const QString folder = delegate.session()->currentSessionFolder().value_or(QString());
    delegate.stopRecording();
    ASSERT_TRUE(waitFor([&] { return !delegate.session()->isRecording() && delegate.pipeline()->isIdle(); }));
    EXPECT_EQ(statuses(folder), QStringList{u"complete"_s});
    EXPECT_EQ(gateway.uploads().size(), 3);
    EXPECT_TRUE(server.violations().isEmpty());
    EXPECT_TRUE(settled(delegate));
}

TEST_F(AppDelegateTest, AnUploadCutShortGoesOnAtLaunchWithTheMissingFileOnlyIntoTheSameFolder)
{
    test::DriveTestBed bed;
    const QString session = recordings() + u"/2026-12-06_08-21-20"_s;
    test::TemporaryFolder::writeAll(session + u"/metadata.json"_s, "{}");
    test::TemporaryFolder::writeAll(session + u"/microphone.wav"_s, "RIFF....WAVE");
    test::TemporaryFolder::writeAll(session + u"/notes.txt"_s, "first draft");
    {
        Logger logger(folder_.file(u"state/first.log"_s));
        UploadManager first({true, u"root-folder"_s, QString(), u"velno"_s}, *bed.client, logger);
        test::runTask(first.uploadSessionNow(session));
        // The quit came before the last file: the state lacks it and Drive never finished it.
        UploadStateFile file(session, logger);
        UploadState state = file.load();
        const QString notesID = state.uploadedFiles.at(u"notes.txt"_s).driveFileID;
        state.uploadedFiles.erase(u"notes.txt"_s);
        file.save(state);
        bed.drive.item(notesID)->trashed = true;
    }
    const auto live = [&bed](const QString& name) {
        int count = 0;
        for (const auto& item : bed.drive.items())
            count += item.name == name && !item.trashed ? 1 : 0;
        return count;
    };
    ASSERT_EQ(live(u"notes.txt"_s), 0);

    settings({{u"googleUploadEnabled"_s, true}, {u"googleDriveFolderURL"_s, u"root-folder"_s}});
    FakeComponents components(folder_);
    components.fakeDrive = &bed;
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    ASSERT_TRUE(waitFor([&] { return components.notifications.contains(u"Ebbcast upload complete"_s); }))
        << components.notifications.join(u", "_s).toStdString();
    EXPECT_TRUE(delegate.model()->googleConnected());
    EXPECT_EQ(live(u"notes.txt"_s), 1);
    EXPECT_EQ(live(u"microphone.wav"_s), 1);
    EXPECT_EQ(live(u"2026-12-06_08-21-20"_s), 1) << "no second session folder";
    EXPECT_EQ(delegate.model()->driveUploadedFileCount(), 3);
}

// Quit while the recording is in each of its states: the session always ends complete, stopped once.
// A kill leaves a reported chunk without a transcription status and the chunk open at the kill without a
// document; the launch repair documents the cut one, and both reach the gateway.
TEST_F(AppDelegateTest, AfterACrashTheReportedAndTheCutChunksAreTranscribed)
{
    const QString token = u"gateway-token-7c1"_s;
    test::FakeHttpServer server;
    test::FakeGlossenGateway gateway(server, {token});
    test::FakeGlossenGateway::JobScript job;
    job.states = {u"COMPLETE"_s};
    job.artifacts = {
        test::FakeGlossenGateway::Artifact{.id = 9, .type = u"transcript-txt"_s, .content = "words"}};
    gateway.setDefaultScript(job);
    const QDateTime start(QDate(2026, 12, 7), QTime(9, 0), QTimeZone::utc());
    const QString crashed = recordings() + u"/2026-12-07_09-00-00"_s;
    SessionMetadata session = test::writeInterruptedSession(crashed, u"2026-12-07_09-00-00"_s, start);
    const auto writeWav = [](const QString& path, int buffers) {
        QDir().mkpath(QFileInfo(path).absolutePath());
        const std::vector<float> samples(1024, 0.25F);
        WavFileWriter writer(path, {48000, 1});
        for (int buffer = 0; buffer < buffers; ++buffer)
            writer.write({samples.data(), 1024, 1});
    };
    RecordingChunkMetadata reported;
    reported.index = 1;
    reported.kind = u"microphone"_s;
    reported.startTime = start;
    reported.endTime = start.addSecs(2);
    reported.duration = 2;
    reported.filePath = crashed + u"/chunks/mic_chunk_0001.wav"_s;
    session.liveChunks = std::vector<RecordingChunkMetadata>{reported};
    MetadataWriter::write(session, crashed + u"/metadata.json"_s);
    writeWav(reported.filePath, 94);
    MetadataWriter::write(reported, crashed + u"/chunks/mic_chunk_0001.json"_s);
    writeWav(crashed + u"/chunks/mic_chunk_0002.wav"_s, 47); // open at the kill: no document
    settings({{u"enableLiveTranscription"_s, true},
              {u"glossenGatewayBaseURL"_s, gateway.baseUrl().toString()},
              {u"glossenGatewayToken"_s, token}});

    FakeComponents components(folder_);
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    const auto statuses = [&crashed] {
        QStringList found;
        for (const RecordingChunkMetadata& chunk : readSessionChunks(crashed))
            found.append(QFileInfo(chunk.filePath).fileName() + u"="_s +
                         chunk.transcriptionStatus.value_or(u"-"_s));
        found.sort();
        return found;
    };
    EXPECT_TRUE(waitFor([&] {
        return statuses() == QStringList{u"mic_chunk_0001.wav=complete"_s, u"mic_chunk_0002.wav=complete"_s};
    })) << statuses().join(u',').toStdString();
    EXPECT_EQ(gateway.uploads().size(), 2) << "each chunk once";
    EXPECT_TRUE(server.violations().isEmpty());
    EXPECT_TRUE(settled(delegate));
}

// A kill while a wrap-up note records leaves the note pending, and the session's upload (held back for the
// note) never asked for.
TEST_F(AppDelegateTest, AWrapUpNotePendingAfterACrashIsSettledAtLaunchAndItsSessionUploaded)
{
    settings({{u"googleUploadEnabled"_s, true}});
    for (const bool movieWritten : {true, false}) {
        SCOPED_TRACE(movieWritten ? "the movie was written" : "no movie");
        QDir(recordings()).removeRecursively();
        const test::PreparedSession session =
            test::prepareStoppedSession(recordings(), {.microphoneChunks = 1, .systemAudioChunks = 1});
        SessionDocumentFile::update(session.folder + u"/metadata.json"_s, [](SessionMetadata& document) {
            document.wrapUp = WrapUpSessionMetadata::pending();
        });
        const QString movie = session.folder + u"/wrap_up.mov"_s;
        if (movieWritten)
            test::TemporaryFolder::writeAll(movie, QByteArray(4096, 'm'));

        FakeComponents components(folder_);
        AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                                   }}});
        delegate.launch();

        const auto stored = SessionMetadata::fromJson(
            QJsonDocument::fromJson(test::TemporaryFolder::readAll(session.folder + u"/metadata.json"_s))
                .object());
        ASSERT_TRUE(stored && stored->wrapUp);
        if (movieWritten) {
            EXPECT_EQ(stored->wrapUp->status, WrapUpSessionMetadata::complete(movie, {}).status);
            EXPECT_EQ(stored->wrapUp->filePath, movie);
            EXPECT_EQ(stored->wrapUp->metadataPath, WrapUpMetadata::pathFor(movie));
            EXPECT_TRUE(QFile::exists(WrapUpMetadata::pathFor(movie))) << "the movie got its document";
        } else {
            EXPECT_EQ(*stored->wrapUp,
                      WrapUpSessionMetadata::failed(u"Wrap-up note did not produce a file."_s));
        }
        // The upload was asked for (and fails: nobody is signed in).
        EXPECT_TRUE(waitFor([&] {
            return delegate.model()->statusMessage() ==
                   u"Upload failed: "_s + QFileInfo(session.folder).fileName();
        })) << delegate.model()->statusMessage().toStdString();
    }
}

TEST_F(AppDelegateTest, ChunkReportsFromTwoThreadsDuringAStopAreAllHandledBeforeTheCompletion)
{
    FakeComponents components(folder_);
    AppDelegate delegate(components, {.quit = {.stopLimit = 30s, .exit = [](int) {
                                               }}});
    delegate.launch();
    QStringList events;
    QObject::connect(
        delegate.session(), &RecordingSession::chunkCompleted,
        [&events](const QString&, const QString& file) { events.append(QFileInfo(file).fileName()); });
    QObject::connect(delegate.model(), &EbbcastAppModel::lastSessionFolderChanged,
                     [&events] { events.append(u"completed"_s); });

    delegate.startRecording(false);
    ASSERT_TRUE(waitFor([&] { return delegate.session()->isRecording(); }));
    components.script.chunksFromThreadsOnStop = 3;
    delegate.stopRecording();
    ASSERT_TRUE(waitFor([&] { return events.contains(u"completed"_s); }));
    QTest::qWait(20);

    // Each chunk twice (its document, then its audio), from both tracks, all before the completion.
    ASSERT_EQ(events.size(), 2 * 2 * 3 + 1) << events.join(u", "_s).toStdString();
    EXPECT_EQ(events.last(), u"completed"_s);
    for (const QString& name : {u"mic_chunk_0003.wav"_s, u"system_chunk_0003.m4a"_s})
        EXPECT_TRUE(events.contains(name)) << name.toStdString();
    // and the completed document lists them all
    const QString folder = delegate.model()->lastSessionFolder().value_or(QString());
    const auto stored = SessionMetadata::fromJson(
        QJsonDocument::fromJson(test::TemporaryFolder::readAll(folder + u"/metadata.json"_s)).object());
    ASSERT_TRUE(stored && stored->liveChunks);
    EXPECT_EQ(stored->liveChunks->size(), 6U);
    EXPECT_TRUE(stored->endTime.has_value());
}

class QuitTest : public AppDelegateTest {
protected:
    void launch()
    {
        delegate_ = std::make_unique<AppDelegate>(
            components_, AppDelegate::Options{.quit = {.stopLimit = stopLimit_, .exit = [this](int status) {
                                                           exitStatus_ = status;
                                                       }}});
        delegate_->launch();
    }
    void startRecording()
    {
        delegate_->startRecording(false);
        ASSERT_TRUE(waitFor([this] { return delegate_->session()->isRecording(); }));
        folder_ = delegate_->session()->currentSessionFolder().value_or(QString());
    }
    void expectCompleteSession() const
    {
        const auto document = SessionMetadata::fromJson(
            JsonDocumentFile::readObject(folder_ + u"/metadata.json"_s).value_or(QJsonObject{}));
        ASSERT_TRUE(document);
        EXPECT_TRUE(document->endTime.has_value());
        EXPECT_FALSE(QFile::exists(folder_ + u"/.ebbcast_recording_active"_s));
    }

    FakeComponents components_{AppDelegateTest::folder_};
    std::chrono::milliseconds stopLimit_ = 30s;
    std::unique_ptr<AppDelegate> delegate_;
    int exitStatus_ = -1;
    QString folder_;
};

TEST_F(QuitTest, IdleQuitsAtOnceAndTearsDown)
{
    launch();
    delegate_->quitCoordinator().requestQuit(QuitReason::signal(SIGTERM));
    ASSERT_TRUE(waitFor([this] { return exitStatus_ == 0; }));
    EXPECT_EQ(delegate_->model(), nullptr);
    EXPECT_EQ(components_.script.stops, 0);
}

TEST_F(QuitTest, RecordingStopsOnceBeforeTheExitWhateverAsksAndHowOften)
{
    launch();
    startRecording();
    components_.script.holdStop = true;
    delegate_->quitCoordinator().requestQuit(QuitReason::menu());
    delegate_->quitCoordinator().requestQuit(QuitReason::signal(SIGTERM));
    QTest::qWait(50);
    delegate_->sessionEnding();
    EXPECT_EQ(exitStatus_, -1) << "the process waits for the stop";
    components_.script.holdStop = false;
    ASSERT_TRUE(waitFor([this] { return exitStatus_ == 0; }));
    EXPECT_EQ(components_.script.stops, 3) << "each of the three tracks stopped once";
    expectCompleteSession();
}

TEST_F(QuitTest, AQuitDuringTheStartWaitsForItThenStops)
{
    launch();
    components_.script.holdStart = true;
    delegate_->startRecording(false);
    ASSERT_TRUE(waitFor([this] { return components_.script.starts > 0; }));
    delegate_->quitCoordinator().requestQuit(QuitReason::signal(SIGINT));
    QTest::qWait(50);
    EXPECT_EQ(exitStatus_, -1);
    folder_ = delegate_->session()->currentSessionFolder().value_or(QString());
    components_.script.holdStart = false;
    ASSERT_TRUE(waitFor([this] { return exitStatus_ == 0; }));
    EXPECT_EQ(components_.script.stops, 3);
    expectCompleteSession();
}

TEST_F(QuitTest, AQuitDuringAStopWaitsForThatStopWithoutASecond)
{
    launch();
    startRecording();
    components_.script.holdStop = true;
    delegate_->stopRecording();
    ASSERT_TRUE(waitFor([this] { return components_.script.stops > 0; }));
    delegate_->quitCoordinator().requestQuit(QuitReason::signal(SIGHUP));
    QTest::qWait(50);
    EXPECT_EQ(exitStatus_, -1);
    components_.script.holdStop = false;
    ASSERT_TRUE(waitFor([this] { return exitStatus_ == 0; }));
    EXPECT_EQ(components_.script.stops, 3);
    expectCompleteSession();
}

TEST_F(QuitTest, TheShutdownDelayIsHeldUntilTheDocumentIsCompleteAndAShutdownQuits)
{
    test::PrivateBus bus;
    test::FakeLogind logind(bus);
    components_.systemBus = bus.connection();
    launch();
    startRecording();
    const QList<QJsonObject> taken = logind.waitForEvents(1);
    ASSERT_EQ(taken.size(), 1);
    EXPECT_EQ(taken.front().value(u"event"_s).toString(), u"inhibit"_s);

    components_.script.holdStop = true;
    logind.announceShutdown(true);
    QTest::qWait(200);
    EXPECT_EQ(logind.events().size(), 1) << "held while the stop runs";
    EXPECT_EQ(exitStatus_, -1);
    components_.script.holdStop = false;
    const QList<QJsonObject> events = logind.waitForEvents(2);
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events.back().value(u"event"_s).toString(), u"released"_s);
    ASSERT_TRUE(waitFor([this] { return exitStatus_ == 0; }));
    expectCompleteSession();
}

TEST_F(QuitTest, AStopThatNeverEndsIsGivenUpWithStatusOneAndNoTeardown)
{
    stopLimit_ = 200ms;
    launch();
    startRecording();
    components_.script.holdStop = true;
    delegate_->quitCoordinator().requestQuit(QuitReason::menu());
    ASSERT_TRUE(waitFor([this] { return exitStatus_ == 1; }));
    EXPECT_NE(delegate_->session(), nullptr) << "the stop still uses the components";
    bool sawGivingUp = false;
    delegate_->logger()->flush(); // lines are written from the logger's queue
    for (const QString& line : logLines())
        sawGivingUp = sawGivingUp || line.contains(u"[ERROR]"_s);
    EXPECT_TRUE(sawGivingUp);
    // Once the stop is over after all, the components go as usual.
    components_.script.holdStop = false;
    EXPECT_TRUE(waitFor([this] { return !delegate_->session()->isTransitioning(); }));
}

} // namespace
} // namespace ebbcast
