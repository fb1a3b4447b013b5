#include "capture/WrapUpRecorder.h"

#include "capture/PermissionManager.h"
#include "capture/WrapUpError.h"
#include "capture/WrapUpRepair.h"
#include "core/base/Logger.h"
#include "core/documents/WrapUpMetadata.h"
#include "support/FakeAudioInputEngine.h"
#include "support/FakeCameraSource.h"
#include "support/FakeWrapUpMovieWriter.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

template <typename Error>
QString failureOf(QCoro::Task<QString> task)
{
    try {
        test::runTask(std::move(task));
    } catch (const Error& error) {
        return error.description();
    }
    return u"(no failure)"_s;
}

// Keeps the event loop turning until the condition holds or the time is up.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class WrapUpRecorderTest : public ::testing::Test {
protected:
    WrapUpRecorder& make(WrapUpTimeouts timeouts = {2000ms, 2000ms})
    {
        auto camera = std::make_unique<test::FakeCameraSource>();
        camera_ = camera.get();
        auto microphone = std::make_unique<test::FakeAudioInputEngine>(microphoneFormat_);
        microphone_ = microphone.get();
        recorder_ = std::make_unique<WrapUpRecorder>(
            recordings_, permissions_, logger_, std::move(camera), std::move(microphone),
            test::FakeWrapUpMovieWriter::factory(movie_), clock_.wallClock(), timeouts);
        return *recorder_;
    }

    QString sessionFolder()
    {
        const QString path = folder_.file(u"session"_s);
        QDir().mkpath(path);
        return path;
    }

    int countLines(const QString& text) { return test::countLogLines(logger_, text); }

    QStringList standAloneFolders() const
    {
        return QDir(recordings_).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    }

    test::TemporaryFolder folder_;
    QString recordings_ = folder_.file(u"Recordings"_s);
    Logger logger_{folder_.file(u"app.log"_s)};
    PermissionManager permissions_{logger_};
    test::ManualClock clock_{QDateTime(QDate(2026, 12, 9), QTime(10, 0, 0), Qt::UTC)};
    AudioInputFormat microphoneFormat_{48000, 1};
    test::FakeWrapUpMovieRecord movie_;
    test::FakeCameraSource* camera_ = nullptr;
    test::FakeAudioInputEngine* microphone_ = nullptr;
    std::unique_ptr<WrapUpRecorder> recorder_;
};

TEST_F(WrapUpRecorderTest, ANoteRecordsIntoTheSessionFolderAndItsDocumentFollowsTheMovie)
{
    WrapUpRecorder& recorder = make();
    const QString session = sessionFolder();
    const QString movie = test::runTask(recorder.start(session));
    EXPECT_EQ(movie, session + u"/wrap_up.mov"_s);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_EQ(countLines(u"Wrap-up note started: "_s + movie), 1);
    EXPECT_EQ(movie_.width, 64);
    EXPECT_EQ(movie_.audioFormat, microphoneFormat_);
    EXPECT_EQ(microphone_->tapFormat, microphoneFormat_);

    // Sound reaches the movie, stamped after the first picture.
    ASSERT_TRUE(waitUntil([&] { return movie_.videoCount() >= 3; }));
    microphone_->deliver(2);
    clock_.advance(12.5);
    const WrapUpOutcome outcome = test::runTask(recorder.stop());

    EXPECT_FALSE(recorder.isRecording());
    EXPECT_TRUE(movie_.finished);
    EXPECT_EQ(camera_->running.load(), false);
    EXPECT_GE(microphone_->stopCount.load(), 1);
    EXPECT_FALSE(microphone_->tapInstalled());
    ASSERT_EQ(movie_.audioTimes.size(), 2U);
    EXPECT_GT(movie_.audioTimes[0], -0.2);
    ASSERT_FALSE(movie_.videoTimes.empty());
    EXPECT_EQ(movie_.videoTimes.front(), 0.0);

    EXPECT_TRUE(outcome.recorded);
    EXPECT_EQ(outcome.folder, session);
    EXPECT_EQ(outcome.moviePath, movie);
    EXPECT_EQ(outcome.metadataPath, session + u"/wrap_up_metadata.json"_s);
    EXPECT_TRUE(outcome.failure.isEmpty());
    EXPECT_EQ(countLines(u"Wrap-up note stopped: "_s + movie), 1);

    // The document, byte for byte: start when the devices were asked to start, end at the stop.
    const QByteArray expected = "{\n"
                                "  \"duration\" : 12.5,\n"
                                "  \"end_time\" : \"2026-12-09T10:00:12Z\",\n"
                                "  \"file_path\" : \"" +
                                movie.toUtf8().replace("/", "\\/") +
                                "\",\n"
                                "  \"note\" : \"Manual wrap-up camera and microphone note.\",\n"
                                "  \"start_time\" : \"2026-12-09T10:00:00Z\"\n"
                                "}\n";
    EXPECT_EQ(test::TemporaryFolder::readAll(outcome.metadataPath), expected);
}

TEST_F(WrapUpRecorderTest, NotesBesideEarlierOnesTakeTheNextFreeNameAndKeepTheirOwnDocuments)
{
    WrapUpRecorder& recorder = make();
    const QString session = sessionFolder();
    for (const QString& name : {u"wrap_up.mov"_s, u"wrap_up_1.mov"_s}) {
        QFile file(session + u'/' + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    QFile firstDocument(session + u"/wrap_up_metadata.json"_s);
    ASSERT_TRUE(firstDocument.open(QIODevice::WriteOnly));
    firstDocument.write("first note");
    firstDocument.close();

    const QString movie = test::runTask(recorder.start(session));
    EXPECT_EQ(movie, session + u"/wrap_up_2.mov"_s);
    const WrapUpOutcome outcome = test::runTask(recorder.stop());
    EXPECT_EQ(outcome.moviePath, movie);
    EXPECT_EQ(outcome.metadataPath, session + u"/wrap_up_2_metadata.json"_s);
    EXPECT_TRUE(QFileInfo::exists(outcome.metadataPath));
    EXPECT_EQ(test::TemporaryFolder::readAll(session + u"/wrap_up_metadata.json"_s), "first note");

    // A document left without its movie also keeps its name from being taken.
    QFile::remove(session + u"/wrap_up_1.mov"_s);
    QFile orphan(session + u"/wrap_up_1_metadata.json"_s);
    ASSERT_TRUE(orphan.open(QIODevice::WriteOnly));
    orphan.close();
    EXPECT_EQ(test::runTask(recorder.start(session)), session + u"/wrap_up_3.mov"_s);
    test::runTask(recorder.stop());
}

TEST_F(WrapUpRecorderTest, AStandAloneNoteIsNamedByTheLocalTimeAndTwoInOneSecondShareTheFolder)
{
    const QByteArray oldZone = qgetenv("TZ");
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const auto restoreZone = qScopeGuard([&] {
        if (oldZone.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", oldZone);
        tzset();
    });
    WrapUpRecorder& recorder = make();
    const QString first = test::runTask(recorder.start(std::nullopt));
    test::runTask(recorder.stop());
    clock_.advance(0.4);
    const QString second = test::runTask(recorder.start(std::nullopt));
    const WrapUpOutcome outcome = test::runTask(recorder.stop());

    // 10:00 UTC in December is 11:00 in Berlin.
    const QString folder = recordings_ + u"/2026-12-09_11-00-00_wrap-up"_s;
    EXPECT_EQ(first, folder + u"/wrap_up.mov"_s);
    EXPECT_EQ(second, folder + u"/wrap_up_1.mov"_s);
    EXPECT_EQ(outcome.folder, folder);
    EXPECT_TRUE(QFileInfo::exists(folder + u"/wrap_up_metadata.json"_s));
    EXPECT_TRUE(QFileInfo::exists(folder + u"/wrap_up_1_metadata.json"_s));
    EXPECT_EQ(standAloneFolders(), QStringList{u"2026-12-09_11-00-00_wrap-up"_s});
}

TEST_F(WrapUpRecorderTest, MissingOrUnusableDevicesFailTheStartWithoutLeavingAFolder)
{
    {
        WrapUpRecorder& recorder = make();
        camera_->device.reset();
        EXPECT_EQ(failureOf<WrapUpError>(recorder.start(std::nullopt)),
                  u"No camera is available for a wrap-up note."_s);
        EXPECT_EQ(camera_->openCount, 0);
        EXPECT_FALSE(recorder.isRecording());
    }
    {
        microphoneFormat_ = AudioInputFormat{0, 0};
        WrapUpRecorder& recorder = make();
        EXPECT_EQ(failureOf<WrapUpError>(recorder.start(std::nullopt)),
                  u"No microphone is available for a wrap-up note."_s);
        EXPECT_EQ(camera_->openCount, 0);
        microphoneFormat_ = AudioInputFormat{48000, 2};
    }
    {
        WrapUpRecorder& recorder = make();
        camera_->openFailure = u"Device or resource busy"_s;
        EXPECT_EQ(failureOf<WrapUpError>(recorder.start(std::nullopt)),
                  u"Could not configure camera and microphone capture for the wrap-up note."_s);
        EXPECT_EQ(countLines(u"Could not open the camera \"Fake Cam\" (/dev/video0) for the wrap-up note: "
                             "Device or resource busy"_s),
                  1);
    }
    {
        WrapUpRecorder& recorder = make();
        microphone_->failStarts = true;
        EXPECT_EQ(failureOf<WrapUpError>(recorder.start(std::nullopt)),
                  u"Could not configure camera and microphone capture for the wrap-up note."_s);
        EXPECT_EQ(
            countLines(u"Could not start the microphone for the wrap-up note: input device unavailable"_s),
            1);
        // The camera it had started is released again.
        EXPECT_FALSE(camera_->running.load());
        EXPECT_GE(camera_->stopCount.load(), 1);
    }
    EXPECT_TRUE(standAloneFolders().isEmpty());

    // A session folder that was there stays, whatever failed.
    WrapUpRecorder& recorder = make();
    camera_->openFailure = u"Permission denied"_s;
    const QString session = sessionFolder();
    EXPECT_THROW(test::runTask(recorder.start(session)), WrapUpError);
    EXPECT_TRUE(QFileInfo(session).isDir());
    EXPECT_TRUE(QDir(session).isEmpty());
}

TEST_F(WrapUpRecorderTest, ACameraThatNeverDeliversFailsTheStartAndLeavesNoMovie)
{
    WrapUpRecorder& recorder = make({300ms, 2000ms});
    camera_->deliverFrames = false;
    EXPECT_EQ(failureOf<WrapUpError>(recorder.start(std::nullopt)),
              u"The wrap-up note did not begin recording."_s);
    EXPECT_EQ(countLines(u"Wrap-up note did not begin recording within 0.3 seconds"_s), 1);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_FALSE(camera_->running.load());
    EXPECT_EQ(movie_.created, 0);
    EXPECT_TRUE(standAloneFolders().isEmpty());

    // A writer that cannot be made is the same: no movie, no folder, the reason in the log.
    camera_->deliverFrames = true;
    movie_.failCreate = true;
    EXPECT_EQ(failureOf<WrapUpError>(recorder.start(std::nullopt)),
              u"The wrap-up note did not begin recording."_s);
    EXPECT_EQ(countLines(u"Wrap-up movie could not be written: no encoder for the test"_s), 1);
    EXPECT_TRUE(standAloneFolders().isEmpty());

    // A camera unplugged before its first picture ends the start at once.
    movie_.failCreate = false;
    camera_->unplugAfterFrames = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(test::runTask(recorder.start(std::nullopt)), WrapUpError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 250ms);
    EXPECT_EQ(countLines(u"Wrap-up camera stopped: No such device"_s), 1);
}

TEST_F(WrapUpRecorderTest, AStartDuringAnotherStartIsRefusedAndAStopDuringAStartWaitsForIt)
{
    WrapUpRecorder& recorder = make();
    std::optional<QCoro::Task<QString>> second;
    int previews = 0;
    recorder.onSessionReady = [&](CameraPreviewFeed&) {
        ++previews;
        second.emplace(recorder.start(std::nullopt));
    };
    const QString session = sessionFolder();
    std::optional<WrapUpOutcome> stopped;
    // The stop is asked for while the start still waits for its first picture.
    camera_->frameInterval = 100ms;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(20, [&] {
            [](WrapUpRecorder& r, std::optional<WrapUpOutcome>& out) -> QCoro::Task<> {
                WrapUpOutcome outcome = co_await r.stop();
                out = outcome;
            }(recorder, stopped);
        });
    });
    const QString movie = test::runTask(recorder.start(session));
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(failureOf<WrapUpError>(std::move(*second)), u"A wrap-up note is already recording."_s);
    EXPECT_EQ(previews, 1);
    ASSERT_TRUE(waitUntil([&] { return stopped.has_value(); }));
    EXPECT_TRUE(stopped->recorded);
    EXPECT_EQ(stopped->moviePath, movie);
    EXPECT_FALSE(recorder.isRecording());
    EXPECT_EQ(movie_.created, 1);
}

TEST_F(WrapUpRecorderTest, StopsWhileIdleReturnAtOnceAndOverlappingStopsShareTheOutcome)
{
    WrapUpRecorder& recorder = make();
    const WrapUpOutcome idle = test::runTask(recorder.stop());
    EXPECT_FALSE(idle.recorded);
    EXPECT_TRUE(idle.folder.isEmpty());

    test::runTask(recorder.start(sessionFolder()));
    std::vector<WrapUpOutcome> outcomes;
    auto stopInto = [](WrapUpRecorder& r, std::vector<WrapUpOutcome>& out) -> QCoro::Task<> {
        WrapUpOutcome outcome = co_await r.stop();
        out.push_back(outcome);
    };
    stopInto(recorder, outcomes);
    stopInto(recorder, outcomes);
    ASSERT_TRUE(waitUntil([&] { return outcomes.size() == 2; }));
    EXPECT_TRUE(outcomes[0].recorded);
    EXPECT_EQ(outcomes[0].moviePath, outcomes[1].moviePath);
    EXPECT_EQ(outcomes[0].metadataPath, outcomes[1].metadataPath);
    EXPECT_EQ(countLines(u"Wrap-up note stopped: "_s), 1);
}

TEST_F(WrapUpRecorderTest, AHangingFinishTimesOutAndALateFinishChangesNothing)
{
    WrapUpRecorder& recorder = make({2000ms, 300ms});
    const QString session = sessionFolder();
    const QString movie = test::runTask(recorder.start(session));
    ASSERT_TRUE(waitUntil([&] { return movie_.videoCount() >= 3; }));
    movie_.holdFinish = true;
    const auto asked = std::chrono::steady_clock::now();
    const WrapUpOutcome outcome = test::runTask(recorder.stop());
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
    EXPECT_EQ(countLines(u"Wrap-up stop timed out; forcing capture-session cleanup"_s), 1);
    EXPECT_FALSE(recorder.isRecording());
    // The movie holds pictures, so it counts and gets its document.
    EXPECT_TRUE(outcome.recorded);
    EXPECT_EQ(outcome.metadataPath, session + u"/wrap_up_metadata.json"_s);
    const QByteArray document = test::TemporaryFolder::readAll(outcome.metadataPath);

    // Until the old note's devices are free, a new note cannot start.
    EXPECT_EQ(failureOf<WrapUpError>(recorder.start(session)),
              u"Could not configure camera and microphone capture for the wrap-up note."_s);

    movie_.releaseFinish();
    ASSERT_TRUE(waitUntil([&] { return movie_.finished; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(countLines(u"Wrap-up note stopped: "_s), 1);
    EXPECT_EQ(countLines(u"Wrap-up note failed"_s), 0);
    EXPECT_EQ(test::TemporaryFolder::readAll(outcome.metadataPath), document);
    EXPECT_EQ(movie, outcome.moviePath);

    // Then notes start again.
    EXPECT_EQ(test::runTask(recorder.start(session)), session + u"/wrap_up_1.mov"_s);
    test::runTask(recorder.stop());
}

TEST_F(WrapUpRecorderTest, AFinishingErrorIsBenignOnlyForAMovieOfMoreThan1024BytesWithPictures)
{
    WrapUpRecorder& recorder = make();
    const QString session = sessionFolder();
    movie_.failFinish = true;

    // 2,000 bytes of pictures: a normal stop with a document.
    movie_.bytesPerFrame = 1000;
    movie_.failVideoAfter = 2;
    test::runTask(recorder.start(session));
    ASSERT_TRUE(waitUntil([&] { return countLines(u"Wrap-up movie could not be written"_s) == 1; }));
    WrapUpOutcome outcome = test::runTask(recorder.stop());
    EXPECT_EQ(QFileInfo(outcome.moviePath).size(), 2000);
    EXPECT_TRUE(outcome.recorded);
    EXPECT_FALSE(outcome.metadataPath.isEmpty());

    // 1,000 bytes: a failure, no document, the movie left as it is.
    {
        const std::lock_guard lock(movie_.mutex);
        movie_.videoTimes.clear();
        movie_.failVideoAfter = 1;
    }
    test::runTask(recorder.start(session));
    ASSERT_TRUE(waitUntil([&] { return countLines(u"Wrap-up movie could not be written"_s) == 2; }));
    outcome = test::runTask(recorder.stop());
    EXPECT_EQ(QFileInfo(outcome.moviePath).size(), 1000);
    EXPECT_FALSE(outcome.recorded);
    EXPECT_TRUE(outcome.metadataPath.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(session + u"/wrap_up_1_metadata.json"_s));
    EXPECT_EQ(outcome.failure, u"No space left on device"_s);
    EXPECT_EQ(countLines(u"Wrap-up note failed: No space left on device"_s), 1);

    // A finish that fails on a good movie still leaves a recorded note.
    {
        const std::lock_guard lock(movie_.mutex);
        movie_.failVideoAfter = -1;
        movie_.bytesPerFrame = 600;
    }
    test::runTask(recorder.start(session));
    ASSERT_TRUE(waitUntil([&] { return movie_.videoCount() >= 4; }));
    outcome = test::runTask(recorder.stop());
    EXPECT_TRUE(outcome.recorded);
    EXPECT_EQ(countLines(u"Wrap-up note failed"_s), 1);
}

TEST_F(WrapUpRecorderTest, ACameraUnpluggedMidNoteKeepsWhatWasRecorded)
{
    WrapUpRecorder& recorder = make();
    camera_->unplugAfterFrames = 5;
    const QString session = sessionFolder();
    test::runTask(recorder.start(session));
    ASSERT_TRUE(waitUntil([&] { return countLines(u"Wrap-up camera stopped: No such device"_s) == 1; }));
    EXPECT_TRUE(recorder.isRecording());
    microphone_->deliver(3);
    const WrapUpOutcome outcome = test::runTask(recorder.stop());
    EXPECT_TRUE(outcome.recorded);
    EXPECT_EQ(movie_.videoCount(), 5);
    EXPECT_EQ(movie_.audioTimes.size(), 3U);
    EXPECT_TRUE(movie_.finished);
    EXPECT_TRUE(QFileInfo::exists(outcome.metadataPath));
}

TEST_F(WrapUpRecorderTest, APreviewThatFailsIsLoggedAndTheNoteRecordsAndTheFeedCarriesThePictures)
{
    WrapUpRecorder& recorder = make();
    CameraPreviewFeed* shown = nullptr;
    recorder.onSessionReady = [&](CameraPreviewFeed& feed) {
        shown = &feed;
        throw WrapUpError::captureSetupFailed(); // any error of the preview
    };
    int ready = 0;
    QObject::connect(&recorder.previewFeed(), &CameraPreviewFeed::frameReady, [&] { ++ready; });
    test::runTask(recorder.start(sessionFolder()));
    EXPECT_EQ(shown, &recorder.previewFeed());
    EXPECT_EQ(countLines(u"Wrap-up preview failed; continuing without preview: Could not configure camera"_s),
              1);
    ASSERT_TRUE(waitUntil([&] { return ready >= 2; }));
    EXPECT_TRUE(recorder.previewFeed().latestFrame().has_value());
    EXPECT_TRUE(test::runTask(recorder.stop()).recorded);
    EXPECT_FALSE(recorder.previewFeed().latestFrame().has_value());
}

TEST_F(WrapUpRecorderTest, DestroyingTheRecorderMidNoteFinishesTheMovie)
{
    WrapUpRecorder& recorder = make();
    test::runTask(recorder.start(sessionFolder()));
    ASSERT_TRUE(waitUntil([&] { return movie_.videoCount() >= 2; }));
    recorder_.reset();
    EXPECT_TRUE(movie_.finished);
}

TEST(WrapUpRepairTest, MoviesWithoutDocumentsGetOnesFromTheirDurationAndModificationTime)
{
    test::TemporaryFolder folder;
    Logger logger(folder.file(u"app.log"_s));
    const QDateTime modified(QDate(2026, 12, 9), QTime(9, 30, 10), Qt::UTC);
    for (const QString& name :
         {u"wrap_up.mov"_s, u"wrap_up_1.mov"_s, u"wrap_up_2.mov"_s, u"wrap_up_x.mov"_s, u"screen.mov"_s}) {
        QFile file(folder.file(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("movie");
        file.flush();
        ASSERT_TRUE(file.setFileTime(modified, QFileDevice::FileModificationTime));
    }
    QFile existing(folder.file(u"wrap_up_metadata.json"_s));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("kept");
    existing.close();

    QStringList probed;
    const QStringList written = repairInterruptedWrapUp(
        folder.path(),
        [&](const QString& path) -> std::optional<double> {
            probed.append(QFileInfo(path).fileName());
            if (path.endsWith(u"wrap_up_2.mov"_s))
                return std::nullopt;
            return 7.25;
        },
        logger);

    EXPECT_EQ(probed, (QStringList{u"wrap_up_1.mov"_s, u"wrap_up_2.mov"_s}));
    EXPECT_EQ(written, QStringList{folder.file(u"wrap_up_1_metadata.json"_s)});
    EXPECT_EQ(test::TemporaryFolder::readAll(folder.file(u"wrap_up_metadata.json"_s)), "kept");
    const auto document = WrapUpMetadata::fromJson(
        QJsonDocument::fromJson(test::TemporaryFolder::readAll(written.front())).object());
    ASSERT_TRUE(document.has_value());
    EXPECT_EQ(document->endTime, modified);
    EXPECT_EQ(document->startTime, modified.addSecs(-8))
        << "dates are written in whole seconds, rounded down";
    EXPECT_EQ(document->duration, 7.25);
    EXPECT_EQ(document->filePath, folder.file(u"wrap_up_1.mov"_s));
    EXPECT_EQ(test::countLogLines(logger, u"holds nothing playable"_s), 1);
    EXPECT_FALSE(QFileInfo::exists(folder.file(u"wrap_up_2_metadata.json"_s)));
}

} // namespace
} // namespace ebbcast
