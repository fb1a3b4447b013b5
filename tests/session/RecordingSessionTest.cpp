#include "session/RecordingSession.h"

#include "capture/AppActivityMonitor.h"
#include "capture/MicRecorder.h"
#include "capture/PermissionManager.h"
#include "capture/ScreenRecorder.h"
#include "capture/SystemAudioRecorder.h"
#include "capture/WavFileWriter.h"
#include "capture/WavHeaderRepair.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/json/JsonDocumentFile.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/RecorderFactory.h"
#include "session/SessionLock.h"
#include "support/FakeAudioInputEngine.h"
#include "support/FakeAudioMediaWriter.h"
#include "support/FakeHttpServer.h"
#include "support/FakePcmFileWriter.h"
#include "support/FakeScreenFrameSource.h"
#include "support/FakeSystemAudioSource.h"
#include "support/FakeVideoMediaWriter.h"
#include "support/InterruptedSession.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

#include <utime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

RecordingSession::Settings sessionSettings(const QString& recordingFolder)
{
    RecordingSession::Settings settings;
    settings.recordingFolder = recordingFolder;
    return settings;
}

// Real recorders on fakes; the test reaches the fakes of the latest session through the factory.
class FakeRecorders : public RecorderFactory {
public:
    explicit FakeRecorders(WallClock clock)
        : clock_(std::move(clock))
    {}

    std::unique_ptr<Recorder> makeSystemAudioRecorder(const QString& path, const QString& chunkFolder,
                                                      Logger& logger) override
    {
        auto systemSource = std::make_unique<test::FakeSystemAudioSource>();
        systemAudioSource = systemSource.get();
        auto recorder =
            std::make_unique<SystemAudioRecorder>(path, chunkFolder, logger, audioWriters.factory(), clock_,
                                                  SystemAudioRecorder::Timing{1.0}, std::move(systemSource));
        systemAudio = recorder.get();
        return recorder;
    }

    std::unique_ptr<Recorder> makeScreenRecorder(const QString& path, quint32 displayID,
                                                 Logger& logger) override
    {
        auto frames = std::make_unique<test::FakeScreenFrameSource>();
        screenFrames = frames.get();
        screenFrames->displayList = displays;
        screenFrames->failStart = screenStartFails;
        return std::make_unique<ScreenRecorder>(path, displayID, logger, std::move(frames),
                                                test::FakeVideoMediaWriter::factory(video));
    }

    std::unique_ptr<Recorder> makeMicRecorder(const QString& path, const QString& chunkFolder,
                                              const QString& preferredDeviceName, Logger& logger) override
    {
        auto engine = std::make_unique<test::FakeAudioInputEngine>(AudioInputFormat{48000, 1});
        micEngine = engine.get();
        MicRecorder::Timing timing;
        timing.chunkDurationSeconds = 1.0;
        timing.watchdogFirstCheck = std::chrono::hours(1);
        auto recorder = std::make_unique<MicRecorder>(path, preferredDeviceName, logger, std::move(engine),
                                                      pcmFiles.factory(), clock_, timing);
        recorder->setChunkFolder(chunkFolder);
        microphone = recorder.get();
        return recorder;
    }

    std::optional<double> recordedAudioSeconds(const QString& path) const override
    {
        const auto found = audioSeconds.find(path);
        return found == audioSeconds.end() ? std::nullopt : std::optional<double>(found->second);
    }

    std::vector<ScreenDisplay> displays{{7, u"DP-1"_s, 0, 0, 1920, 1080, true}};
    std::map<QString, double> audioSeconds; // what recordedAudioSeconds() reports, by path
    bool screenStartFails = false;
    test::FakeAudioMediaWriters audioWriters;
    test::FakePcmFiles pcmFiles;
    test::FakeVideoRecord video;
    SystemAudioRecorder* systemAudio = nullptr;
    MicRecorder* microphone = nullptr;
    test::FakeScreenFrameSource* screenFrames = nullptr;
    test::FakeSystemAudioSource* systemAudioSource = nullptr;
    test::FakeAudioInputEngine* micEngine = nullptr;

private:
    WallClock clock_;
};

class CountingInhibitor : public ActivityInhibitor {
public:
    void begin(const QString& reason) override
    {
        active = true;
        lastReason = reason;
    }
    void end() override { active = false; }
    bool active = false;
    QString lastReason;
};

class CollectedAlerts : public AlertPresenter {
public:
    void showError(const QString& message) override { messages.append(message); }
    QStringList messages;
};

class FixedFrontmost : public FrontmostApplicationSource {
public:
    std::optional<FrontmostApplication> frontmostApplication() override
    {
        return FrontmostApplication{u"Zoom"_s, u"zoom"_s};
    }
};

class RecordingSessionTest : public ::testing::Test {
protected:
    RecordingSessionTest()
    {
        QObject::connect(&session_, &RecordingSession::chunkCompleted,
                         [this](const QString& sessionFolder, const QString& file) {
                             const std::lock_guard lock(callbacksLock_);
                             chunkCallbacks_.emplace_back(sessionFolder, file);
                         });
        session_.onSessionCompleted = [this](const QString& sessionFolder, bool uploadHeldBack) {
            completed_.append(uploadHeldBack ? sessionFolder + u" (upload held back)"_s : sessionFolder);
        };
        session_.onStateChange = [this](bool recording) {
            states_.push_back(recording);
        };
    }

    QString startSession()
    {
        QString started;
        session_.onSessionStarted = [&started](const QString& sessionFolder) {
            started = sessionFolder;
        };
        test::runTask(session_.start(false));
        session_.onSessionStarted = nullptr;
        return started;
    }

    SessionMetadata document(const QString& sessionFolder)
    {
        const auto object = JsonDocumentFile::readObject(sessionFolder + u"/metadata.json"_s);
        EXPECT_TRUE(object.has_value());
        const auto decoded = SessionMetadata::fromJson(object.value_or(QJsonObject{}));
        EXPECT_TRUE(decoded.has_value()) << "the document decodes strictly";
        return decoded.value_or(SessionMetadata{});
    }

    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    test::ManualClock clock_{QDateTime(QDate(2026, 12, 6), QTime(8, 15, 2), Qt::UTC)};
    const QDateTime startOfTest_ = clock_.now();
    QNetworkAccessManager network_;
    PermissionManager permissions_{logger_};
    FixedFrontmost frontmost_;
    AppActivityMonitor apps_{frontmost_, {}};
    // The monotonic clock runs with the manual clock.
    ClockSyncManager clockSync_{
        {},
        logger_,
        network_,
        clock_.wallClock(),
        [this] { return 1.0 + static_cast<double>(startOfTest_.msecsTo(clock_.now())) / 1000.0; },
        500};
    FakeRecorders recorders_{clock_.wallClock()};
    CountingInhibitor inhibitor_;
    CollectedAlerts alerts_;
    RecordingSession session_{sessionSettings(folder_.file(u"Recordings"_s)),
                              permissions_,
                              apps_,
                              clockSync_,
                              logger_,
                              recorders_,
                              inhibitor_,
                              alerts_,
                              clock_.wallClock()};
    std::mutex callbacksLock_;
    std::vector<std::pair<QString, QString>> chunkCallbacks_;
    QStringList completed_;
    std::vector<bool> states_;
};

TEST_F(RecordingSessionTest, ASessionRecordsChunksAndCompletesItsDocument)
{
    const QString folder = startSession();
    ASSERT_FALSE(folder.isEmpty());
    EXPECT_TRUE(session_.isRecording());
    EXPECT_TRUE(inhibitor_.active);
    EXPECT_EQ(inhibitor_.lastReason, u"Ebbcast is actively recording"_s);
    EXPECT_EQ(QFileInfo(folder).fileName(), u"2026-12-06_09-15-02"_s) << "local time (Europe/Berlin)";
    EXPECT_TRUE(QFile::exists(folder + u"/.ebbcast_recording_active"_s));

    const SessionMetadata started = document(folder);
    EXPECT_FALSE(started.endTime.has_value());
    EXPECT_EQ(started.sessionID, u"2026-12-06_09-15-02"_s);
    EXPECT_EQ(started.activeAppName, u"Zoom"_s);
    EXPECT_EQ(started.display, (DisplayMetadata{7, 1920, 1080, std::nullopt}));
    EXPECT_EQ(started.audioDevices.microphone, u"Default microphone"_s);
    EXPECT_EQ(started.systemAudioCapture, SystemAudioCaptureMetadata::unavailable());
    EXPECT_FALSE(started.clockSync.has_value()) << "clock sync is off";

    for (int i = 0; i < 50; ++i) { // about 1.07 s of microphone audio: one chunk
        clock_.advance(1024 / 48000.0);
        recorders_.micEngine->deliver();
    }
    clock_.advance(3.0);
    test::runTask(session_.stop(false));

    const SessionMetadata done = document(folder);
    EXPECT_EQ(done.endTime, clock_.now().addMSecs(-clock_.now().time().msec()));
    EXPECT_NEAR(done.duration.value_or(0), 1.067 + 3.0, 0.01);
    EXPECT_FALSE(QFile::exists(folder + u"/.ebbcast_recording_active"_s));
    EXPECT_EQ(completed_, QStringList{folder});
    EXPECT_EQ(states_, (std::vector<bool>{true, false}));
    EXPECT_FALSE(inhibitor_.active);
    ASSERT_TRUE(done.liveChunks.has_value());
    ASSERT_EQ(done.liveChunks->size(), 2U) << "the first chunk, and the short one reported at stop";
    const RecordingChunkMetadata& chunk = done.liveChunks->front();
    EXPECT_EQ(chunk.clockSyncStatus, u"not_configured"_s);
    EXPECT_FALSE(chunk.serverStartTime.has_value());
    EXPECT_EQ(chunk.timecodeStart, u"00:00:00.000"_s);
    EXPECT_EQ(chunk.sessionStartTime, started.startTime);

    // Two callbacks per chunk, the document first.
    ASSERT_EQ(chunkCallbacks_.size(), 4U);
    EXPECT_TRUE(chunkCallbacks_[0].second.endsWith(u"chunks/mic_chunk_0001.json"_s));
    EXPECT_TRUE(chunkCallbacks_[1].second.endsWith(u"chunks/mic_chunk_0001.wav"_s));
    EXPECT_EQ(chunkCallbacks_[0].first, folder);
    EXPECT_EQ(chunkCallbacks_[1].first, folder);
    const auto chunkDocument = JsonDocumentFile::readObject(chunkCallbacks_[0].second);
    ASSERT_TRUE(chunkDocument.has_value());
    EXPECT_EQ(RecordingChunkMetadata::fromJson(*chunkDocument), chunk);
}

TEST_F(RecordingSessionTest, TwoStartsInTheSameSecondGetSuffixedFoldersAndTheSameIdentifier)
{
    const QString first = startSession();
    test::runTask(session_.stop(false));
    const QString second = startSession();
    test::runTask(session_.stop(false));
    EXPECT_EQ(QFileInfo(first).fileName(), u"2026-12-06_09-15-02"_s);
    EXPECT_EQ(QFileInfo(second).fileName(), u"2026-12-06_09-15-02-1"_s);
    EXPECT_EQ(document(first).sessionID, document(second).sessionID);
}

TEST_F(RecordingSessionTest, AStartWhileAStopIsInProgressIsRefusedAndCreatesNothing)
{
    startSession();
    recorders_.micEngine->holdStops(true);
    auto stopping = session_.stop(false); // suspended while the microphone stops on a worker
    test::runTask(session_.start(false));
    recorders_.micEngine->holdStops(false);
    test::runTask(std::move(stopping));
    EXPECT_EQ(
        countLines(u"[INFO] Ignored recording start request because a recording lifecycle transition is "
                   "already active"_s),
        1);
    EXPECT_EQ(QDir(folder_.file(u"Recordings"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
}

TEST_F(RecordingSessionTest, WithClockSyncChunksCarryServerTimes)
{
    test::FakeHttpServer server;
    server.setHandler([this](const test::FakeHttpServer::Request&) {
        clock_.advance(0.020);
        const qint64 serverMs = clock_.now().toMSecsSinceEpoch() - 10 + 1500; // the server runs 1.5 s ahead
        return test::FakeHttpServer::Response{200, "{\"unix_ms\": " + QByteArray::number(serverMs) + "}"};
    });
    clockSync_.setEnabled(true);
    clockSync_.setURL(server.url(u"/time"_s).toString());
    const QString folder = startSession();
    for (int i = 0; i < 50; ++i) {
        clock_.advance(1024 / 48000.0);
        recorders_.micEngine->deliver();
    }
    test::runTask(session_.stop(false));

    const SessionMetadata done = document(folder);
    ASSERT_TRUE(done.clockSync && done.clockSync->bestSample);
    EXPECT_EQ(done.clockSync->status, u"synced"_s);
    const RecordingChunkMetadata& chunk = done.liveChunks->front();
    EXPECT_EQ(chunk.clockSyncStatus, u"synced"_s);
    EXPECT_EQ(chunk.clockOffsetMilliseconds, 1500.0);
    EXPECT_EQ(chunk.clockRoundTripMilliseconds, 20.0);
    ASSERT_TRUE(chunk.serverStartTime.has_value());
    const qint64 ahead = chunk.startTime.msecsTo(*chunk.serverStartTime); // both stored to the whole second
    EXPECT_GE(ahead, 1000);
    EXPECT_LE(ahead, 2000);
}

TEST_F(RecordingSessionTest, AChunkThatBeganBeforeTheSessionStartsAtOffsetZero)
{
    const QString folder = startSession();
    RecordingChunkMetadata early;
    early.index = 1;
    early.kind = u"system_audio"_s;
    early.startTime = clock_.now().addSecs(-5);
    early.endTime = clock_.now().addSecs(-3);
    early.filePath = folder_.file(u"elsewhere/system_chunk_0001.m4a"_s);
    QDir().mkpath(folder_.file(u"elsewhere"_s));
    recorders_.systemAudio->onChunkCompleted(early, early.filePath); // handled by the stop at the latest
    test::runTask(session_.stop(false));
    const RecordingChunkMetadata stored = document(folder).liveChunks->front();
    EXPECT_EQ(stored.startOffsetSeconds, 0.0);
    EXPECT_EQ(stored.endOffsetSeconds, 0.0) << "never less than the start offset";
    EXPECT_EQ(stored.timecodeStart, u"00:00:00.000"_s);
}

TEST_F(RecordingSessionTest, SuppressedUploadStillCompletesTheDocumentAndSaysSo)
{
    const QString folder = startSession();
    test::runTask(session_.stop(true));
    // The completion is reported (the final transcript is due), with the upload held back for the note.
    EXPECT_EQ(completed_, QStringList{folder + u" (upload held back)"_s});
    EXPECT_TRUE(document(folder).endTime.has_value());
    EXPECT_FALSE(QFile::exists(folder + u"/.ebbcast_recording_active"_s));
    EXPECT_EQ(session_.lastCompletedSessionFolder(), folder);
}

TEST_F(RecordingSessionTest, AFailedStartIsReportedAndRemovesAFolderNothingWasRecordedInto)
{
    recorders_.displays.clear();
    test::runTask(session_.start(false));
    EXPECT_FALSE(session_.isRecording());
    EXPECT_EQ(alerts_.messages, QStringList{u"No display is available for ScreenCaptureKit capture."_s});
    EXPECT_EQ(
        countLines(
            u"[ERROR] Failed to start recording: No display is available for ScreenCaptureKit capture."_s),
        1);
    EXPECT_EQ(states_, std::vector<bool>{false});
    EXPECT_FALSE(inhibitor_.active);
    EXPECT_TRUE(QDir(folder_.file(u"Recordings"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty())
        << "a folder with nothing recorded in it would only be a puzzle later";

    // Later in the start: the documents and the microphone exist when the screen capture refuses to start.
    recorders_.displays = {{7, u"DP-1"_s, 0, 0, 1920, 1080, true}};
    recorders_.screenStartFails = true;
    test::runTask(session_.start(false));
    EXPECT_FALSE(session_.isRecording());
    EXPECT_TRUE(QDir(folder_.file(u"Recordings"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
    EXPECT_EQ(recorders_.pcmFiles.openCount(), 0);
}

TEST_F(RecordingSessionTest, ADocumentThatCannotBeCompletedKeepsTheMarkerAndSaysSo)
{
    const QString folder = startSession();
    QFile::remove(folder + u"/metadata.json"_s);
    QDir().mkpath(folder + u"/metadata.json"_s); // a folder where the document should be
    test::runTask(session_.stop(false));
    EXPECT_EQ(countLines(u"[ERROR] Failed to write metadata: "_s), 1);
    ASSERT_EQ(alerts_.messages.size(), 1);
    EXPECT_TRUE(alerts_.messages[0].startsWith(u"Recording stopped, but metadata could not be written: "_s));
    EXPECT_TRUE(QFile::exists(folder + u"/.ebbcast_recording_active"_s));
    EXPECT_TRUE(completed_.isEmpty());
    EXPECT_FALSE(session_.isRecording());
}

TEST_F(RecordingSessionTest, StopKeepsTranscriptionResultsOthersWroteIntoTheDocument)
{
    const QString folder = startSession();
    for (int i = 0; i < 50; ++i) {
        clock_.advance(1024 / 48000.0);
        recorders_.micEngine->deliver();
    }
    QCoreApplication::processEvents(); // the main thread handles the chunk the microphone reported
    SessionMetadata onDisk = document(folder);
    ASSERT_EQ(onDisk.liveChunks->size(), 1U);
    onDisk.liveChunks->front().transcriptionStatus = u"completed"_s;
    onDisk.liveChunks->front().transcriptText = u"hello"_s;
    MetadataWriter::write(onDisk, folder + u"/metadata.json"_s);
    test::runTask(session_.stop(false));
    const RecordingChunkMetadata first = document(folder).liveChunks->front();
    EXPECT_EQ(first.transcriptionStatus, u"completed"_s);
    EXPECT_EQ(first.transcriptText, u"hello"_s);
}

TEST_F(RecordingSessionTest, MembersOthersAddedToTheDocumentSurviveChunksMarkersAndTheStop)
{
    const QString folder = startSession();
    const QString path = folder + u"/metadata.json"_s;
    QJsonObject stored = *JsonDocumentFile::readObject(path);
    stored.insert(u"added_by_a_newer_version"_s, u"kept"_s);
    JsonDocumentFile::write(path, stored);
    for (int i = 0; i < 50; ++i) { // a chunk report
        clock_.advance(1024 / 48000.0);
        recorders_.micEngine->deliver();
    }
    session_.createMarker();
    test::runTask(session_.stop(false));
    const auto completed = JsonDocumentFile::readObject(path);
    ASSERT_TRUE(completed.has_value());
    EXPECT_EQ(completed->value(u"added_by_a_newer_version"_s).toString(), u"kept"_s);
    EXPECT_TRUE(completed->contains(u"end_time"_s));
}

TEST_F(RecordingSessionTest, TheSessionFolderIsLockedWhileItRecords)
{
    const QString folder = startSession();
    EXPECT_EQ(SessionLock::tryAcquireExisting(folder).attempt, FileLock::Attempt::heldElsewhere);
    test::runTask(session_.stop(false));
    EXPECT_EQ(SessionLock::tryAcquireExisting(folder).attempt, FileLock::Attempt::noLockFile)
        << "a completed session leaves no lock file";
}

TEST_F(RecordingSessionTest, TracksThatEndedEarlyAreNamedWithWhereTheyStopped)
{
    const QString folder = startSession();
    for (int i = 0; i < 235; ++i) { // 5 s of audio
        clock_.advance(1024 / 48000.0);
        recorders_.micEngine->deliver();
    }
    recorders_.pcmFiles.failWritesTo(u"microphone.wav"_s);
    recorders_.micEngine->deliver();
    recorders_.systemAudioSource->fail(u"the sound server went away"_s);
    const auto outcome = test::runTask(session_.stop(false));

    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->documentCompleted);
    EXPECT_EQ(outcome->sessionFolder, folder);
    ASSERT_EQ(outcome->endedTracks.size(), 2);
    EXPECT_TRUE(
        outcome->endedTracks[0].startsWith(u"the microphone stopped at 00:00:05.0: Could not write"_s))
        << outcome->endedTracks[0].toStdString();
    EXPECT_EQ(outcome->endedTracks[1], u"the system audio recorded nothing: the sound server went away"_s);
    EXPECT_EQ(countLines(u"[ERROR] Recording track ended early: the microphone stopped at 00:00:05.0"_s), 1);
}

TEST_F(RecordingSessionTest, ConcurrentChunkReportsAndMarkersLoseNothing)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        const QString folder = startSession();
        const auto report = [&folder](const auto& callback, const QString& kind, int count) {
            for (int i = 1; i <= count; ++i) {
                RecordingChunkMetadata chunk;
                chunk.index = i;
                chunk.kind = kind;
                chunk.filePath = folder + u"/chunks/"_s + kind + QString::number(i) + u".wav"_s;
                callback(chunk, chunk.filePath);
            }
        };
        QDir().mkpath(folder + u"/chunks"_s);
        std::thread microphone(report, recorders_.microphone->onChunkCompleted, u"microphone"_s, 40);
        std::thread systemAudio(report, recorders_.systemAudio->onChunkCompleted, u"system_audio"_s, 40);
        for (int i = 0; i < 20; ++i)
            session_.createMarker();
        microphone.join();
        systemAudio.join();
        // More markers arrive while the stop waits for the microphone; the reports are still queued.
        recorders_.micEngine->holdStops(true);
        for (int i = 0; i < 20; ++i)
            QMetaObject::invokeMethod(
                &session_, [this] { session_.createMarker(); }, Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            &session_, [this] { recorders_.micEngine->holdStops(false); }, Qt::QueuedConnection);
        test::runTask(session_.stop(false));
        const SessionMetadata done = document(folder);
        EXPECT_EQ(done.liveChunks->size(), 81U) << "both recorders' 80 and the short chunk of the stop";
        EXPECT_EQ(done.markers.size(), 40U);
        EXPECT_TRUE(done.endTime.has_value());
        clock_.advance(1.0);
    }
}

TEST_F(RecordingSessionTest, AChunkRotationNeverWaitsForTheDocument)
{
    const QString folder = startSession();
    std::chrono::nanoseconds worst{0};
    {
        // Another process holds the document for a long time (a slow disk would do the same).
        const FileLock held(folder + u'/' + SessionDocumentFile::lockFileName());
        for (int i = 0; i < 150; ++i) { // three rotations of the one-second chunks
            clock_.advance(1024 / 48000.0);
            const auto before = std::chrono::steady_clock::now();
            recorders_.micEngine->deliver();
            worst = std::max(worst, std::chrono::steady_clock::now() - before);
        }
    }
    std::printf("worst buffer handling with the document held: %lld us\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(worst).count()));
    EXPECT_LT(worst, std::chrono::milliseconds(200)) << "the capture thread never touches the document";
    test::runTask(session_.stop(false));
    EXPECT_EQ(document(folder).liveChunks->size(), 4U)
        << "the reports were handled once the document was free";
}

TEST_F(RecordingSessionTest, MarkersAndWrapUpStatesAreRecorded)
{
    const QString folder = startSession();
    clock_.advance(12.5);
    session_.createMarker(u"Decision"_s);
    EXPECT_EQ(countLines(u"[INFO] Marker created at 12.5s"_s), 1);
    test::runTask(session_.stop(false));
    const SessionMarker marker = document(folder).markers.at(0);
    EXPECT_EQ(marker.label, u"Decision"_s);
    EXPECT_EQ(marker.timestamp, 12.5);
    EXPECT_EQ(marker.id, marker.id.toUpper());
    EXPECT_EQ(marker.id.size(), 36);
    session_.createMarker(); // no session: nothing happens
    EXPECT_EQ(document(folder).markers.size(), 1U);

    session_.markWrapUpPending(folder);
    EXPECT_EQ(document(folder).wrapUp, WrapUpSessionMetadata::pending());
    session_.markWrapUpCompleted(folder, folder + u"/wrap_up.mov"_s, folder + u"/wrap_up_metadata.json"_s);
    EXPECT_EQ(document(folder).wrapUp->status, u"complete"_s);
    session_.markWrapUpFailed(folder, u"Camera unavailable"_s);
    EXPECT_EQ(document(folder).wrapUp, WrapUpSessionMetadata::failed(u"Camera unavailable"_s));
    session_.markWrapUpPending(folder_.file(u"nowhere"_s));
    EXPECT_EQ(countLines(u"[ERROR] Failed to update session metadata: "_s), 1);
}

class RecoveryTest : public RecordingSessionTest {
protected:
    // A session left by a crash: a document without end time, optionally the marker and media files.
    QString leftBehind(const QString& name, bool marker,
                       const std::vector<std::pair<QString, int>>& mediaAges)
    {
        const QString folder = folder_.file(u"Recordings/"_s + name);
        test::writeInterruptedSession(folder, name, clock_.now().addSecs(-600), marker);
        for (const auto& [file, secondsAgo] : mediaAges) {
            const QString path = folder + u'/' + file;
            if (file.endsWith(u".wav"_s)) {
                std::vector<float> samples(4800, 0.1F);
                WavFileWriter writer(path, {48000, 1});
                writer.write({samples.data(), 4800, 1});
            } else {
                test::TemporaryFolder::writeAll(path, "media");
            }
            const time_t when = clock_.now().toSecsSinceEpoch() - secondsAgo;
            utimbuf times{when, when};
            ::utime(QFile::encodeName(path).constData(), &times);
        }
        return folder;
    }
};

TEST_F(RecoveryTest, TheNewestInterruptedSessionIsRepairedOnceWithItsLatestMediaTime)
{
    const QString folder =
        leftBehind(u"2026-12-06_09-05-02"_s, true, {{u"screen.mov"_s, 120}, {u"microphone.wav"_s, 30}});
    // The crash left the WAV header claiming nothing.
    QFile wav(folder + u"/microphone.wav"_s);
    ASSERT_TRUE(wav.open(QIODevice::ReadWrite));
    const QByteArray bytes = wav.readAll();
    wav.seek(bytes.indexOf("data") + 4);
    wav.write(QByteArray(4, '\0'));
    wav.close();
    utimbuf times{clock_.now().toSecsSinceEpoch() - 30, clock_.now().toSecsSinceEpoch() - 30};
    ::utime(QFile::encodeName(folder + u"/microphone.wav"_s).constData(), &times);

    EXPECT_EQ(session_.recoverInterruptedSessionIfNeeded(), folder);
    const SessionMetadata repaired = document(folder);
    EXPECT_EQ(repaired.endTime, clock_.now().addSecs(-30));
    EXPECT_EQ(repaired.duration, 570.0);
    EXPECT_EQ(repaired.interrupted, true);
    EXPECT_EQ(repaired.interruptionNote, u"Ebbcast exited before the recording stop sequence completed."_s);
    EXPECT_FALSE(QFile::exists(folder + u"/.ebbcast_recording_active"_s));
    EXPECT_FALSE(WavHeaderRepair::repair(folder + u"/microphone.wav"_s).changed) << "the header was repaired";
    EXPECT_EQ(countLines(u"[ERROR] Recovered interrupted recording session: "_s + folder), 1);
    EXPECT_EQ(session_.lastCompletedSessionFolder(), folder);

    EXPECT_FALSE(session_.recoverInterruptedSessionIfNeeded().has_value()) << "a second launch finds nothing";
}

TEST_F(RecoveryTest, EndTimeIsNeverBeforeTheStartAndFoldersWithoutTracesAreLeftAlone)
{
    const QString untouched = leftBehind(u"2026-12-06_08-00-00"_s, false, {});
    EXPECT_FALSE(session_.recoverInterruptedSessionIfNeeded().has_value());
    EXPECT_FALSE(document(untouched).endTime.has_value());

    const QString old = leftBehind(u"2026-12-06_08-05-00"_s, true, {{u"screen.mov"_s, 3600}});
    EXPECT_EQ(session_.recoverInterruptedSessionIfNeeded(), old);
    EXPECT_EQ(document(old).endTime, document(old).startTime) << "media older than the start";
    EXPECT_EQ(document(old).duration, 0.0);
}

} // namespace
} // namespace ebbcast
