#include "drive/UploadManager.h"

#include "DriveTestBed.h"
#include "core/base/Logger.h"
#include "drive/GoogleDriveError.h"
#include "drive/UploadStateFile.h"
#include "support/LogLines.h"
#include "support/RunTask.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <coroutine>
#include <map>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::countLogLines;
using test::DriveTestBed;
using test::FakeGoogleDrive;
using test::runTask;
using test::TemporaryFolder;
using Fault = FakeGoogleDrive::Fault;
using Route = FakeGoogleDrive::Route;

constexpr qint64 kib = DriveTestBed::kib;
const QString sessionName = u"2026-12-06_08-21-20"_s;

QByteArray patternBytes(qint64 size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(((i + seed) * 2654435761u >> 13) ^ (i >> 8) ^ seed);
    return bytes;
}

QByteArray sha256Of(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

struct HoldPause {
    std::coroutine_handle<>& slot;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const noexcept { slot = handle; }
    void await_resume() const noexcept {}
};

// A manager on a fake Drive; processing polls and the deadline clock are counted, not waited.
class UploadManagerTest : public ::testing::Test {
protected:
    UploadManagerTest() { makeManager(); }

    void makeManager()
    {
        UploadManager::Timing timing;
        timing.processingPollInterval = 15s;
        timing.processingDeadline = 60s;
        timing.pause = [this](std::chrono::milliseconds pause) -> QCoro::Task<void> {
            pauses.append(pause);
            clockMs += pause.count();
            if (onPause)
                onPause(static_cast<int>(pauses.size()));
            if (holdNextPause) {
                // Stands for a long timer: it ends only when the test lets it.
                holdNextPause = false;
                const HoldPause hold{heldPause};
                co_await hold;
            }
        };
        timing.elapsedMilliseconds = [this] {
            return clockMs;
        };
        UploadManager::Config config{
            true, u"https://drive.google.com/drive/folders/root-folder?usp=sharing"_s, QString(), u"rec-7"_s};
        manager = std::make_unique<UploadManager>(config, *bed.client, logger, timing);
        UploadManager::Callbacks callbacks;
        callbacks.onUploadStarted = [this](const QString& folder) {
            events.append(u"started "_s + name(folder));
        };
        callbacks.onDriveProcessingStarted = [this](const QString& folder, const QStringList& keys) {
            events.append(u"processing "_s + name(folder) + u": "_s + keys.join(u", "_s));
        };
        callbacks.onUploadCompleted = [this](const QString& folder, const UploadState& state) {
            events.append(u"completed "_s + name(folder));
            completedStates.append(state);
        };
        callbacks.onUploadFailed = [this](const QString& folder, std::exception_ptr error) {
            QString text;
            try {
                std::rethrow_exception(error);
            } catch (const EbbcastError& known) {
                text = known.description();
            } catch (...) {
                text = u"?"_s;
            }
            events.append(u"failed "_s + name(folder) + u": "_s + text);
        };
        callbacks.onFileUploadedInSession = [this](const QString& folder, const QString& file,
                                                   const UploadState&) {
            events.append(u"file "_s + name(folder) + u" "_s + QFileInfo(file).fileName());
        };
        manager->setCallbacks(callbacks);
    }

    static QString name(const QString& folder) { return QFileInfo(QDir::cleanPath(folder)).fileName(); }

    QString sessionFolder(const QString& folderName = sessionName)
    {
        const QString folder = root.file(u"recordings/"_s + folderName);
        QDir().mkpath(folder);
        return folder;
    }

    QString write(const QString& folder, const QString& key, const QByteArray& bytes)
    {
        const QString path = folder + u'/' + key;
        TemporaryFolder::writeAll(path, bytes);
        local[path] = bytes;
        return path;
    }

    void waitUntilIdle() { runTask(manager->waitUntilIdle()); }

    int logLines(const QString& text) { return countLogLines(logger, text); }

    // The Drive item at "a/b/c" below the root folder, if exactly one.
    std::optional<FakeGoogleDrive::Item> driveItem(const QString& path)
    {
        QString parent = u"root-folder"_s;
        std::optional<FakeGoogleDrive::Item> found;
        for (const QString& part : path.split(u'/')) {
            int matches = 0;
            for (const FakeGoogleDrive::Item& item : bed.drive.items()) {
                if (item.parentID == parent && item.name == part && !item.trashed) {
                    found = item;
                    ++matches;
                }
            }
            if (matches != 1)
                return std::nullopt;
            parent = found->id;
        }
        return found;
    }

    // Every local file written by the test is on Drive exactly once at `drivePath` with its bytes.
    void expectOnDrive(const std::map<QString, QString>& drivePaths)
    {
        for (const auto& [localPath, drivePath] : drivePaths) {
            const std::optional<FakeGoogleDrive::Item> item = driveItem(drivePath);
            ASSERT_TRUE(item.has_value()) << drivePath.toStdString();
            EXPECT_EQ(item->sha256, sha256Of(local.at(localPath))) << drivePath.toStdString();
        }
    }

    int uploadRequests() const
    {
        return static_cast<int>(bed.drive.exchangesTo(Route::multipart).size() +
                                bed.drive.exchangesTo(Route::sessionStart).size());
    }

    DriveTestBed bed;
    TemporaryFolder root;
    Logger logger{root.file(u"logs/ebbcast.log"_s)};
    QList<std::chrono::milliseconds> pauses;
    std::function<void(int)> onPause;
    qint64 clockMs = 0;
    bool holdNextPause = false;
    std::coroutine_handle<> heldPause;
    std::map<QString, QByteArray> local;
    QStringList events;
    QList<UploadState> completedStates;
    std::unique_ptr<UploadManager> manager;
};

const QString day = u"2026-12-06"_s;
const QString sessionPath = day + u'/' + sessionName;

TEST_F(UploadManagerTest, WholeSessionLandsInItsFoldersAndASecondRunSendsNothing)
{
    const QString folder = sessionFolder();
    const QString chunk1 = write(folder, u"chunks/mic_chunk_0001.wav"_s, patternBytes(3 * kib, 1));
    const QString chunk2 = write(folder, u"chunks/mic_chunk_0002.wav"_s, patternBytes(700 * kib, 2));
    const QString clean = write(folder, u"transcripts/01 Clean Transcript.md"_s, patternBytes(2 * kib, 3));
    const QString chunkText = write(folder, u"transcripts/mic_chunk_0001.json"_s, patternBytes(kib, 4));
    const QString screen = write(folder, u"screen.mov"_s, patternBytes(900 * kib, 5));
    const QString metadata = write(folder, u"metadata.json"_s, patternBytes(kib, 6));
    const QString hidden = write(folder, u".hidden_note"_s, patternBytes(10, 7));
    TemporaryFolder::writeAll(folder + u"/.ebbcast_marker"_s, "marker");
    QStringList progressKeys;
    const auto progress = [&progressKeys](const UploadManager::Progress& step) {
        if (step.kind == UploadManager::Progress::Kind::fileUploaded)
            progressKeys.append(u"%1/%2 %3"_s.arg(step.index).arg(step.count).arg(step.key));
    };

    const UploadState state = runTask(manager->uploadSessionNow(folder, progress));

    expectOnDrive({
        {chunk1, sessionPath + u"/01 Live Chunks/mic_chunk_0001.wav"_s},
        {chunk2, sessionPath + u"/01 Live Chunks/mic_chunk_0002.wav"_s},
        {chunkText, sessionPath + u"/02 Chunk Transcripts/mic_chunk_0001.json"_s},
        {clean, sessionPath + u"/04 Final Transcript/"_s + sessionName + u" - 01 Clean Transcript.md"_s},
        {screen, sessionPath + u"/03 Final Recording/screen.mov"_s},
        {metadata, sessionPath + u"/metadata.json"_s},
        {hidden, sessionPath + u"/.hidden_note"_s},
    });
    EXPECT_EQ(state.uploadedFiles.size(), 7u);
    EXPECT_TRUE(state.pendingUploads.empty());
    EXPECT_EQ(state, UploadStateFile(folder, logger).load());
    EXPECT_EQ(progressKeys, (QStringList{u"1/7 .hidden_note"_s, u"2/7 chunks/mic_chunk_0001.wav"_s,
                                         u"3/7 chunks/mic_chunk_0002.wav"_s, u"4/7 metadata.json"_s,
                                         u"5/7 screen.mov"_s, u"6/7 transcripts/01 Clean Transcript.md"_s,
                                         u"7/7 transcripts/mic_chunk_0001.json"_s}));
    EXPECT_EQ(events,
              (QStringList{u"started "_s + sessionName, u"processing "_s + sessionName + u": screen.mov"_s,
                           u"completed "_s + sessionName}));
    EXPECT_EQ(logLines(u"Uploaded chunks/mic_chunk_0002.wav to Google Drive folder 01 Live Chunks file "_s),
              1);
    EXPECT_EQ(logLines(u"Google Drive finished processing screen.mov for "_s + folder), 1);
    EXPECT_EQ(logLines(u"Webhook stub: session uploaded recorder=rec-7 session="_s + sessionName +
                       u" drive_folder_id="_s + *state.driveFolderID),
              1);
    EXPECT_TRUE(bed.server.violations().isEmpty()) << bed.server.violations().join(u'\n').toStdString();

    // Everything is recorded: the tree is trusted, nothing is sent, the movie is still awaited.
    const qsizetype exchangesBefore = bed.drive.exchanges().size();
    events.clear();
    manager->uploadSession(folder);
    waitUntilIdle();
    EXPECT_EQ(events,
              (QStringList{u"started "_s + sessionName, u"processing "_s + sessionName + u": screen.mov"_s,
                           u"completed "_s + sessionName}));
    EXPECT_EQ(logLines(u"Google Drive upload skipped; all files already uploaded for "_s + folder), 1);
    const QList<FakeGoogleDrive::Exchange> after = bed.drive.exchanges().mid(exchangesBefore);
    ASSERT_EQ(after.size(), 1);
    EXPECT_EQ(after.front().route, Route::metadata);
}

TEST_F(UploadManagerTest, MoviesOfAnyCaseAreAwaitedAndSessionsWithoutMoviesAreNot)
{
    struct Case {
        QStringList keys;
        QString processing; // the processing report, empty for none
    };
    const std::vector<Case> cases = {
        {{u"metadata.json"_s, u"microphone.wav"_s}, {}},
        {{u"SCREEN.MOV"_s, u"wrap_up.Mov"_s, u"metadata.json"_s}, u"SCREEN.MOV, wrap_up.Mov"_s},
        {{u"notes.mov.txt"_s}, {}},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString folderName = u"2026-12-06_09-00-0%1"_s.arg(n++);
        const QString folder = sessionFolder(folderName);
        for (const QString& key : c.keys)
            write(folder, key, patternBytes(kib, n));
        events.clear();
        runTask(manager->uploadSessionNow(folder));
        QStringList expected{u"started "_s + folderName};
        if (!c.processing.isEmpty())
            expected.append(u"processing "_s + folderName + u": "_s + c.processing);
        expected.append(u"completed "_s + folderName);
        EXPECT_EQ(events, expected) << c.keys.join(u", "_s).toStdString();
    }
}

// The peak number of uploads open at once in each session folder's Drive tree, and over all of them.
struct UploadOverlap {
    std::map<QString, int> perSession; // Drive name of the session folder -> peak
    int overall = 0;
};

UploadOverlap uploadOverlap(const FakeGoogleDrive& drive, const QString& rootID)
{
    const QList<FakeGoogleDrive::Item> items = drive.items();
    // The session folder above a folder: the ancestor whose grandparent is the root.
    const auto sessionOf = [&items, &rootID](QString id) {
        QStringList chain;
        while (!id.isEmpty() && id != rootID) {
            chain.prepend(id);
            QString parent;
            for (const FakeGoogleDrive::Item& item : items) {
                if (item.id == id)
                    parent = item.parentID;
            }
            id = parent;
        }
        if (chain.size() < 2)
            return QString();
        for (const FakeGoogleDrive::Item& item : items) {
            if (item.id == chain[1])
                return item.name;
        }
        return QString();
    };
    UploadOverlap overlap;
    std::map<QString, int> open;
    int openOverall = 0;
    for (const FakeGoogleDrive::UploadEvent& event : drive.uploadTimeline()) {
        const QString session = sessionOf(event.parentID);
        open[session] += event.opened ? 1 : -1;
        openOverall += event.opened ? 1 : -1;
        overlap.perSession[session] = std::max(overlap.perSession[session], open[session]);
        overlap.overall = std::max(overlap.overall, openOverall);
    }
    return overlap;
}

TEST_F(UploadManagerTest, OneSessionsUploadsTakeTurnsWhileTwoSessionsRunSideBySide)
{
    const QString first = sessionFolder();
    const QString second = sessionFolder(u"2026-12-06_10-00-00"_s);
    const qint64 big = 700 * kib; // three chunks each
    std::map<QString, QString> expected;
    expected[write(first, u"screen.mov"_s, patternBytes(big, 1))] =
        sessionPath + u"/03 Final Recording/screen.mov"_s;
    expected[write(first, u"metadata.json"_s, patternBytes(kib, 2))] = sessionPath + u"/metadata.json"_s;
    const QString chunk1 = write(first, u"chunks/mic_chunk_0001.wav"_s, patternBytes(big, 3));
    const QString chunk2 = write(first, u"chunks/mic_chunk_0002.wav"_s, patternBytes(big, 4));
    const QString chunkDoc = write(first, u"chunks/mic_chunk_0001.json"_s, patternBytes(kib, 5));
    const QString transcript = write(first, u"transcripts/mic_chunk_0001.md"_s, patternBytes(big, 6));
    expected[chunk1] = sessionPath + u"/01 Live Chunks/mic_chunk_0001.wav"_s;
    expected[chunk2] = sessionPath + u"/01 Live Chunks/mic_chunk_0002.wav"_s;
    expected[chunkDoc] = sessionPath + u"/01 Live Chunks/mic_chunk_0001.json"_s;
    expected[transcript] = sessionPath + u"/02 Chunk Transcripts/mic_chunk_0001.md"_s;
    expected[write(second, u"screen.mov"_s, patternBytes(6 * DriveTestBed::smallChunk + 5, 7))] =
        day + u"/2026-12-06_10-00-00/03 Final Recording/screen.mov"_s;

    manager->uploadSession(first);
    manager->uploadSession(second);
    // Chunk reports arrive from recorder threads, each file twice.
    std::thread recorderA([&] {
        manager->uploadFileInSession(first, chunk1);
        manager->uploadFileInSession(first, chunkDoc);
        manager->uploadFileInSession(first, chunk1);
    });
    std::thread recorderB([&] {
        manager->uploadFileInSession(first, chunk2);
        manager->uploadFileInSession(first, chunk2);
    });
    recorderA.join();
    recorderB.join();
    std::optional<UploadState> immediate;
    const auto awaitImmediate = [this, &immediate](QString folder, QString file) -> QCoro::Task<void> {
        immediate = co_await manager->uploadFileInSessionNowIfEnabled(folder, file);
    };
    QCoro::Task<void> immediateTask = awaitImmediate(first, transcript);
    EXPECT_TRUE(manager->isBusy());
    waitUntilIdle();
    EXPECT_FALSE(manager->isBusy());
    EXPECT_TRUE(immediateTask.isReady());

    expectOnDrive(expected);
    ASSERT_TRUE(immediate.has_value());
    EXPECT_TRUE(immediate->uploadedFiles.contains(u"transcripts/mic_chunk_0001.md"_s));
    EXPECT_EQ(uploadRequests(), static_cast<int>(expected.size())) << "every file once";
    const UploadOverlap overlap = uploadOverlap(bed.drive, u"root-folder"_s);
    EXPECT_EQ(overlap.perSession.at(sessionName), 1);
    EXPECT_EQ(overlap.perSession.at(u"2026-12-06_10-00-00"_s), 1);
    EXPECT_EQ(overlap.overall, 2) << "the two sessions upload side by side";
    EXPECT_EQ(events.count(u"started "_s + sessionName), 1);
    EXPECT_EQ(events.count(u"completed "_s + sessionName), 1);
    EXPECT_EQ(events.count(u"completed 2026-12-06_10-00-00"_s), 1);
    EXPECT_EQ(events.filter(u"failed"_s), QStringList());
    EXPECT_EQ(bed.drive.exchangesTo(Route::createFolder).size(), 1 + 2 * 5) << "one day folder for both";
    const UploadState state = UploadStateFile(first, logger).load();
    EXPECT_EQ(state.uploadedFiles.size(), 6u);
    EXPECT_TRUE(bed.server.violations().isEmpty()) << bed.server.violations().join(u'\n').toStdString();
}

TEST_F(UploadManagerTest, RequestsDuringTheProcessingWaitJoinTheRunningUpload)
{
    const QString folder = sessionFolder();
    const QString screen = write(folder, u"screen.mov"_s, patternBytes(2 * kib, 1));
    bed.drive.setProcessingFetches(1);
    QString wrapUp;
    onPause = [&](int pause) {
        if (pause != 1)
            return;
        // The wrap-up movie is written after the stop, while the first upload waits for Drive.
        wrapUp = write(folder, u"wrap_up.mov"_s, patternBytes(3 * kib, 2));
        manager->uploadSession(folder);
        manager->uploadSessionIfEnabled(folder);
    };

    const UploadState state = runTask(manager->uploadSessionNow(folder));

    EXPECT_EQ(events,
              (QStringList{u"started "_s + sessionName, u"processing "_s + sessionName + u": screen.mov"_s,
                           u"processing "_s + sessionName + u": screen.mov, wrap_up.mov"_s,
                           u"completed "_s + sessionName}));
    expectOnDrive({{screen, sessionPath + u"/03 Final Recording/screen.mov"_s},
                   {wrapUp, sessionPath + u"/03 Final Recording/wrap_up.mov"_s}});
    EXPECT_TRUE(state.uploadedFiles.contains(u"wrap_up.mov"_s));
    EXPECT_EQ(logLines(u"Google Drive finished processing wrap_up.mov"_s), 1);
    EXPECT_EQ(pauses, (QList<std::chrono::milliseconds>{15s, 15s}));
    EXPECT_FALSE(manager->isBusy());
}

TEST_F(UploadManagerTest, ARequestDuringAPauseBetweenPollsIsServedWithoutWaitingForItsEnd)
{
    const QString folder = sessionFolder();
    write(folder, u"screen.mov"_s, patternBytes(2 * kib, 1));
    bed.drive.setProcessingFetches(1);
    holdNextPause = true;
    QString wrapUp;
    onPause = [&](int pause) {
        if (pause == 1) {
            QTimer::singleShot(0, [&] {
                wrapUp = write(folder, u"wrap_up.mov"_s, patternBytes(3 * kib, 2));
                manager->uploadSession(folder);
            });
        }
    };

    const UploadState state = runTask(manager->uploadSessionNow(folder));

    EXPECT_TRUE(state.uploadedFiles.contains(u"wrap_up.mov"_s));
    EXPECT_EQ(events.filter(u"completed"_s).size(), 1);
    ASSERT_TRUE(heldPause);
    EXPECT_FALSE(heldPause.done());
    heldPause.resume(); // the long pause ends after all; nothing is left waiting for it
    waitUntilIdle();
    EXPECT_EQ(events.filter(u"completed"_s).size(), 1);
}

TEST_F(UploadManagerTest, AnAwaitedUploadJoinsAQueuedOneAndSharesItsReport)
{
    const QString folder = sessionFolder();
    write(folder, u"metadata.json"_s, patternBytes(kib, 1));
    manager->uploadSession(folder);
    const UploadState state = runTask(manager->uploadSessionNow(folder));
    EXPECT_EQ(state.uploadedFiles.size(), 1u);
    EXPECT_EQ(events, (QStringList{u"started "_s + sessionName, u"completed "_s + sessionName}));
    EXPECT_EQ(uploadRequests(), 1);
}

TEST_F(UploadManagerTest, ProcessingThatNeverEndsTimesOutAndStillCompletes)
{
    const QString folder = sessionFolder();
    write(folder, u"b.mov"_s, patternBytes(kib, 1));
    write(folder, u"a.MOV"_s, patternBytes(kib, 2));
    bed.drive.setProcessingFetches(1000);
    runTask(manager->uploadSessionNow(folder));
    EXPECT_EQ(events.back(), u"completed "_s + sessionName);
    EXPECT_EQ(logLines(u"Timed out waiting for Google Drive processing: a.MOV, b.mov"_s), 1);
    EXPECT_EQ(pauses.size(), 4) << "60 s deadline, polled every 15 s";
}

// Drive answers one request of a step with a fault: the run reports it (or the client gets over it), what was
// sent stays recorded, and a clean run afterwards delivers every file exactly once.
TEST_F(UploadManagerTest, FaultsEndTheRunOrAreOvercomeAndACleanRunCompletesTheSession)
{
    struct Case {
        const char* name;
        Route route;
        int request;
        Fault fault;
        bool sticky;
        int recordedAfterwards; // -1: the run completes
        QString log;            // a line the run logs
    };
    const qint64 chunk = DriveTestBed::smallChunk;
    const std::vector<Case> cases = {
        {"search 500", Route::search, 1, Fault::withStatus(500), false, 0,
         u"Google Drive upload failed for "_s},
        {"search 401 once", Route::search, 2, Fault::unauthorized(), false, -1, {}},
        {"create 503", Route::createFolder, 3, Fault::withStatus(503), false, 0, u"Backend Error"_s},
        {"create 429", Route::createFolder, 1, Fault::tooManyRequests(1), false, 0,
         u"Google Drive upload failed"_s},
        {"multipart 500 on the second file", Route::multipart, 2, Fault::withStatus(500), false, 1,
         u"Google Drive upload failed for "_s},
        {"multipart dropped", Route::multipart, 1, Fault::drop(), false, -1, {}},
        {"multipart hangs", Route::multipart, 2, Fault::hang(), false, 1, u"no answer within"_s},
        {"session start 500", Route::sessionStart, 1, Fault::withStatus(500), false, 2,
         u"Google Drive upload failed for "_s},
        {"chunk 503 once", Route::chunk, 2, Fault::withStatus(503), false, -1, {}},
        {"chunk 429 once", Route::chunk, 1, Fault::tooManyRequests(1), false, -1, {}},
        {"chunk dropped", Route::chunk, 2, Fault::drop(1000), false, -1, {}},
        {"chunk short acknowledgement",
         Route::chunk,
         1,
         Fault::shortAcknowledgement(chunk / 2),
         false,
         -1,
         {}},
        {"chunk 404: the session expired",
         Route::chunk,
         2,
         Fault::withStatus(404, u"Not Found"_s),
         false,
         -1,
         {}},
        {"every chunk 500", Route::chunk, 2, Fault::withStatus(500), true, 2,
         u"Google Drive upload failed for "_s},
        {"offset query 500 after a drop", Route::statusQuery, 1, Fault::withStatus(500), true, -1, {}},
        {"processing check 500", Route::metadata, 1, Fault::withStatus(500), false, -1,
         u"Google Drive processing check failed for screen.mov: "_s},
        {"processing check 401 once", Route::metadata, 1, Fault::unauthorized(), false, -1, {}},
        // The request did its work on Drive but its answer is cut short: the next run finds the folder or
        // the file there instead of making a second one.
        {"search answer cut short", Route::search, 1, Fault::malformedReply(), false, 0,
         u"Google Drive upload failed for "_s},
        {"create answer cut short", Route::createFolder, 2, Fault::malformedReply(), false, 0,
         u"Google Drive upload failed for "_s},
        {"multipart answer cut short", Route::multipart, 1, Fault::malformedReply(), false, 0,
         u"Google Drive upload failed for "_s},
        {"processing check answer cut short", Route::metadata, 1, Fault::malformedReply(), false, -1,
         u"Google Drive processing check failed for screen.mov: "_s},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ++n;
        const QString folderName = u"2026-12-06_08-%1-00"_s.arg(n, 2, 10, QChar(u'0'));
        const QString folder = sessionFolder(folderName);
        const QString dayName = folderName.left(10);
        const QString base = dayName + u'/' + folderName;
        std::map<QString, QString> expected;
        expected[write(folder, u"chunks/mic_chunk_0001.wav"_s, patternBytes(2 * kib, n))] =
            base + u"/01 Live Chunks/mic_chunk_0001.wav"_s;
        expected[write(folder, u"metadata.json"_s, patternBytes(kib, n + 1))] = base + u"/metadata.json"_s;
        expected[write(folder, u"screen.mov"_s, patternBytes(3 * chunk - 100, n + 2))] =
            base + u"/03 Final Recording/screen.mov"_s;
        bed.drive.clearFaults();
        bed.drive.addFault(c.route, c.request, c.fault, c.sticky);
        if (std::string(c.name) == "offset query 500 after a drop")
            bed.drive.addFault(Route::chunk, 2, Fault::drop(1000));
        events.clear();

        manager->uploadSession(folder);
        waitUntilIdle();

        const UploadState state = UploadStateFile(folder, logger).load();
        if (c.recordedAfterwards < 0) {
            EXPECT_EQ(events.back(), u"completed "_s + folderName);
            EXPECT_EQ(state.uploadedFiles.size(), 3u);
        } else {
            ASSERT_FALSE(events.isEmpty());
            EXPECT_TRUE(events.back().startsWith(u"failed "_s + folderName + u": "_s))
                << events.back().toStdString();
            EXPECT_EQ(static_cast<int>(state.uploadedFiles.size()), c.recordedAfterwards);
        }
        EXPECT_EQ(events.filter(u"completed"_s).size() + events.filter(u"failed"_s).size(), 1);
        if (!c.log.isEmpty()) {
            EXPECT_GE(logLines(c.log), 1);
        }

        bed.drive.clearFaults();
        events.clear();
        runTask(manager->uploadSessionNow(folder));
        EXPECT_EQ(events.back(), u"completed "_s + folderName);
        expectOnDrive(expected);
        const UploadState after = UploadStateFile(folder, logger).load();
        EXPECT_EQ(after.uploadedFiles.size(), 3u);
        EXPECT_TRUE(after.pendingUploads.empty());
    }
    EXPECT_EQ(logLines(u"-secret"_s), 0) << "no session address in the log";
}

// A run that stopped inside a resumable upload continues it; Drive receives only the rest.
TEST_F(UploadManagerTest, APendingResumableUploadContinuesWhereDriveStopped)
{
    const QString folder = sessionFolder();
    const qint64 chunk = DriveTestBed::smallChunk;
    const QString screen = write(folder, u"screen.mov"_s, patternBytes(4 * chunk + 10, 1));
    bed.drive.addFault(Route::chunk, 3, Fault::withStatus(500), true);
    EXPECT_THROW(runTask(manager->uploadSessionNow(folder)), GoogleDriveError);
    const UploadState broken = UploadStateFile(folder, logger).load();
    ASSERT_EQ(broken.pendingUploads.size(), 1u);
    const PendingUpload pending = broken.pendingUploads.at(u"screen.mov"_s);
    ASSERT_TRUE(pending.sessionURL.has_value());
    EXPECT_EQ(pending.size, 4 * chunk + 10);
    EXPECT_TRUE(QFile::permissions(UploadStateFile(folder, logger).path()) ==
                (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser));

    bed.drive.clearFaults();
    const qsizetype chunksBefore = bed.drive.exchangesTo(Route::chunk).size();
    const UploadState state = runTask(manager->uploadSessionNow(folder));
    EXPECT_TRUE(state.pendingUploads.empty());
    expectOnDrive({{screen, sessionPath + u"/03 Final Recording/screen.mov"_s}});
    EXPECT_EQ(bed.drive.exchangesTo(Route::sessionStart).size(), 1)
        << "the session is resumed, not restarted";
    const QList<FakeGoogleDrive::Exchange> resumed = bed.drive.exchangesTo(Route::chunk).mid(chunksBefore);
    ASSERT_FALSE(resumed.isEmpty());
    for (const FakeGoogleDrive::Exchange& exchange : resumed)
        EXPECT_FALSE(exchange.contentRange.startsWith("bytes 0-")) << exchange.contentRange.toStdString();
    EXPECT_EQ(logLines(u"-secret"_s), 0);
}

// A multipart upload left pending: Drive may or may not hold the file.
TEST_F(UploadManagerTest, APendingFileThatDriveHoldsIsAdoptedOtherwiseSentAgain)
{
    struct Case {
        const char* name;
        std::optional<QByteArray> onDrive; // the content of a file of that name on Drive
        bool adopted;
    };
    const QByteArray content = patternBytes(5 * kib, 1);
    QByteArray sameSizeOtherBytes = content;
    sameSizeOtherBytes[100] = static_cast<char>(sameSizeOtherBytes[100] + 1);
    const std::vector<Case> cases = {
        {"same bytes", content, true},
        {"same size, other bytes", sameSizeOtherBytes, false},
        {"other size", content.left(100), false},
        {"not on Drive", std::nullopt, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folderName = u"2026-12-07_08-00-0%1"_s.arg(n++);
        const QString folder = sessionFolder(folderName);
        const QString file = write(folder, u"metadata.json"_s, content);
        // The tree exists; the file's upload began and the process ended before it was recorded.
        UploadState state;
        state.driveDayFolderID = bed.drive.addFolder(u"2026-12-07"_s, u"root-folder"_s);
        state.driveFolderID = bed.drive.addFolder(folderName, *state.driveDayFolderID);
        for (const DriveSubfolderKey key : allDriveSubfolderKeys)
            state.driveFolders[rawValue(key)] =
                bed.drive.addFolder(driveFolderName(key), *state.driveFolderID);
        PendingUpload pending;
        pending.size = content.size();
        pending.modifiedAt = QFileInfo(file).lastModified().toUTC();
        pending.startedAt = pending.modifiedAt;
        state.pendingUploads[u"metadata.json"_s] = pending;
        UploadStateFile(folder, logger).save(state);
        QString existingID;
        if (c.onDrive)
            existingID = bed.drive.addFile(u"metadata.json"_s, *state.driveFolderID, *c.onDrive);
        const qsizetype multipartsBefore = bed.drive.exchangesTo(Route::multipart).size();

        const UploadState after = runTask(manager->uploadSessionNow(folder));

        ASSERT_TRUE(after.uploadedFiles.contains(u"metadata.json"_s));
        EXPECT_TRUE(after.pendingUploads.empty());
        const qsizetype multiparts = bed.drive.exchangesTo(Route::multipart).size() - multipartsBefore;
        if (c.adopted) {
            EXPECT_EQ(multiparts, 0);
            EXPECT_EQ(after.uploadedFiles.at(u"metadata.json"_s).driveFileID, existingID);
        } else {
            EXPECT_EQ(multiparts, 1);
            EXPECT_NE(after.uploadedFiles.at(u"metadata.json"_s).driveFileID, existingID);
            EXPECT_EQ(bed.drive.item(after.uploadedFiles.at(u"metadata.json"_s).driveFileID)->sha256,
                      sha256Of(content));
        }
    }
}

TEST_F(UploadManagerTest, ACorruptStateFindsTheTreeOnDriveAndSendsNothingTwice)
{
    const QString folder = sessionFolder();
    std::map<QString, QString> expected;
    expected[write(folder, u"metadata.json"_s, patternBytes(kib, 1))] = sessionPath + u"/metadata.json"_s;
    expected[write(folder, u"chunks/mic_chunk_0001.wav"_s, patternBytes(700 * kib, 2))] =
        sessionPath + u"/01 Live Chunks/mic_chunk_0001.wav"_s;
    runTask(manager->uploadSessionNow(folder));
    const int uploadsBefore = uploadRequests();
    const qsizetype createsBefore = bed.drive.exchangesTo(Route::createFolder).size();

    TemporaryFolder::writeAll(UploadStateFile(folder, logger).path(), "{ not json");
    expected[write(folder, u"microphone.wav"_s, patternBytes(2 * kib, 3))] =
        sessionPath + u"/03 Final Recording/microphone.wav"_s;
    const UploadState state = runTask(manager->uploadSessionNow(folder));

    EXPECT_EQ(state.uploadedFiles.size(), 3u);
    EXPECT_EQ(uploadRequests(), uploadsBefore + 1) << "only the new file is sent";
    EXPECT_EQ(bed.drive.exchangesTo(Route::createFolder).size(), createsBefore)
        << "the tree is found by name";
    expectOnDrive(expected);
}

// The state file cannot be replaced (a folder with content is in its way) from the second file on.
TEST_F(UploadManagerTest, AStateThatCannotBeSavedIsLoggedTheFilesGoOnAndTheRunFails)
{
    const QString folder = sessionFolder();
    std::map<QString, QString> expected;
    expected[write(folder, u"a.json"_s, patternBytes(kib, 1))] = sessionPath + u"/a.json"_s;
    expected[write(folder, u"b.json"_s, patternBytes(kib, 2))] = sessionPath + u"/b.json"_s;
    expected[write(folder, u"c.json"_s, patternBytes(kib, 3))] = sessionPath + u"/c.json"_s;
    const QString statePath = UploadStateFile(folder, logger).path();
    const auto blockState = [&statePath](const UploadManager::Progress& progress) {
        if (progress.kind == UploadManager::Progress::Kind::fileUploaded && progress.key == u"a.json"_s) {
            QFile::remove(statePath);
            TemporaryFolder::writeAll(statePath + u"/in-the-way"_s, "x");
        }
    };

    EXPECT_THROW(runTask(manager->uploadSessionNow(folder, blockState)), EbbcastError);

    EXPECT_EQ(uploadRequests(), 3) << "the upload went on";
    EXPECT_GE(logLines(u"Failed to save upload state: "_s), 1);
    EXPECT_EQ(events.filter(u"failed "_s).size(), 1);
    EXPECT_EQ(events.filter(u"completed "_s).size(), 0);

    // With the obstacle gone, the next run finds what is on Drive and sends nothing again.
    QDir(statePath).removeRecursively();
    events.clear();
    const UploadState state = runTask(manager->uploadSessionNow(folder));
    EXPECT_EQ(state.uploadedFiles.size(), 3u);
    EXPECT_EQ(uploadRequests(), 3);
    expectOnDrive(expected);
}

TEST_F(UploadManagerTest, TheWebhookStubLogsSchemeAndHostOnly)
{
    struct Case {
        QString webhook;
        QString line;
    };
    const std::vector<Case> cases = {
        {u"  https://hooks.example.org/services/T0/B0/secret-path?token=secret-query \n"_s,
         u"Webhook configured but stubbed for now: https://hooks.example.org"_s},
        {u"not a url secret-text"_s, u"Webhook configured but stubbed for now: (not a web address)"_s},
        {u" \n"_s, u"Webhook stub: session uploaded recorder=rec-7 session="_s},
    };
    int n = 0;
    for (const Case& c : cases) {
        const QString folder = sessionFolder(u"2026-12-06_11-00-0%1"_s.arg(n++));
        write(folder, u"metadata.json"_s, patternBytes(kib, n));
        manager->setWebhookURL(c.webhook);
        runTask(manager->uploadSessionNow(folder));
        EXPECT_EQ(logLines(c.line), 1) << c.webhook.toStdString();
        manager->setWebhookURL({});
        EXPECT_EQ(logLines(u"secret"_s), 0);
    }
}

TEST_F(UploadManagerTest, AnUnusableFolderSettingFailsBeforeAnyRequest)
{
    const QString folder = sessionFolder();
    write(folder, u"metadata.json"_s, patternBytes(kib, 1));
    for (const QString& setting : {QString(), u"https://drive.google.com/drive/my-drive"_s}) {
        events.clear();
        manager->setDriveFolderSetting(setting);
        manager->uploadSession(folder);
        waitUntilIdle();
        EXPECT_EQ(events,
                  (QStringList{u"started "_s + sessionName,
                               u"failed "_s + sessionName + u": Google Drive folder URL is invalid."_s}));
    }
    EXPECT_TRUE(bed.drive.exchanges().isEmpty());
    EXPECT_EQ(
        logLines(u"Google Drive upload failed for "_s + folder + u": Google Drive folder URL is invalid."_s),
        2);
}

TEST_F(UploadManagerTest, SingleFileUploadsSendOnceReportWhatTheySentAndLogFailures)
{
    const QString folder = sessionFolder();
    const QString chunk = write(folder, u"chunks/mic_chunk_0001.wav"_s, patternBytes(2 * kib, 1));
    const QString transcript = write(folder, u"transcripts/mic_chunk_0001.md"_s, patternBytes(kib, 2));
    const QString missing = folder + u"/chunks/mic_chunk_0009.wav"_s;

    // Off: nothing happens.
    manager->setUploadEnabled(false);
    manager->uploadFileInSessionIfEnabled(folder, chunk);
    manager->uploadSessionIfEnabled(folder);
    EXPECT_FALSE(runTask(manager->uploadFileInSessionNowIfEnabled(folder, transcript)).has_value());
    waitUntilIdle();
    EXPECT_TRUE(bed.drive.exchanges().isEmpty());
    manager->setUploadEnabled(true);

    // A live upload of a file that is gone touches nothing; an immediate one reports the failure.
    manager->uploadFileInSessionIfEnabled(folder, missing);
    waitUntilIdle();
    EXPECT_TRUE(bed.drive.exchanges().isEmpty());
    EXPECT_FALSE(runTask(manager->uploadFileInSessionNowIfEnabled(folder, missing)).has_value());
    EXPECT_EQ(logLines(u"Google Drive file upload failed for "_s + missing + u": "_s), 1);
    EXPECT_TRUE(bed.drive.exchanges().isEmpty());

    manager->uploadFileInSessionIfEnabled(folder, chunk);
    waitUntilIdle();
    const std::optional<UploadState> immediate =
        runTask(manager->uploadFileInSessionNowIfEnabled(folder, transcript));
    ASSERT_TRUE(immediate.has_value());
    EXPECT_EQ(immediate->uploadedFiles.size(), 2u);
    // Already recorded: the state, without a request or a report.
    const qsizetype exchanges = bed.drive.exchanges().size();
    EXPECT_TRUE(runTask(manager->uploadFileInSessionNowIfEnabled(folder, transcript)).has_value());
    manager->uploadFileInSession(folder, chunk);
    waitUntilIdle();
    EXPECT_EQ(bed.drive.exchanges().size(), exchanges);
    EXPECT_EQ(events, (QStringList{u"file "_s + sessionName + u" mic_chunk_0001.wav"_s,
                                   u"file "_s + sessionName + u" mic_chunk_0001.md"_s}));
    EXPECT_EQ(
        logLines(
            u"Uploaded live file chunks/mic_chunk_0001.wav to Google Drive folder 01 Live Chunks file "_s),
        1);

    // Drive refuses: logged by kind of upload, nothing recorded.
    const QString late = write(folder, u"chunks/mic_chunk_0002.wav"_s, patternBytes(kib, 3));
    bed.drive.addFault(Route::multipart, 1, Fault::withStatus(500), true);
    manager->uploadFileInSession(folder, late);
    waitUntilIdle();
    EXPECT_FALSE(runTask(manager->uploadFileInSessionNowIfEnabled(folder, late)).has_value());
    EXPECT_EQ(
        logLines(u"Google Drive chunk upload failed for "_s + late + u": Google Drive request failed"_s), 1);
    EXPECT_EQ(logLines(u"Google Drive file upload failed for "_s + late + u": Google Drive request failed"_s),
              1);
    EXPECT_FALSE(
        UploadStateFile(folder, logger).load().uploadedFiles.contains(u"chunks/mic_chunk_0002.wav"_s));
}

// A whole-session upload whose file cannot be read reports it and goes on with the next one.
TEST_F(UploadManagerTest, AnUnreadableFileFailsTheRunAfterTheOthersAreSent)
{
    const QString folder = sessionFolder();
    write(folder, u"a.json"_s, patternBytes(kib, 1));
    const QString unreadable = write(folder, u"b.json"_s, patternBytes(kib, 2));
    write(folder, u"c.json"_s, patternBytes(kib, 3));
    // After the listing, a folder takes the file's place: it cannot be read as a file, even by root.
    QStringList failedKeys;
    const auto progress = [&failedKeys, &unreadable](const UploadManager::Progress& step) {
        if (step.kind == UploadManager::Progress::Kind::fileUploaded && step.key == u"a.json"_s) {
            QFile::remove(unreadable);
            QDir().mkpath(unreadable);
        }
        if (step.kind == UploadManager::Progress::Kind::fileFailed)
            failedKeys.append(step.key);
    };
    EXPECT_THROW(runTask(manager->uploadSessionNow(folder, progress)), EbbcastError);
    EXPECT_EQ(failedKeys, QStringList{u"b.json"_s});
    const UploadState state = UploadStateFile(folder, logger).load();
    EXPECT_TRUE(state.uploadedFiles.contains(u"a.json"_s));
    EXPECT_TRUE(state.uploadedFiles.contains(u"c.json"_s));
    EXPECT_EQ(events.back().left(7), u"failed "_s);
}

TEST_F(UploadManagerTest, CancellingAnAwaitedUploadStopsAtTheNextFileOrWait)
{
    struct Case {
        const char* name;
        bool duringProcessing; // else after the first file
        int recorded;
    };
    const std::vector<Case> cases = {{"after the first file", false, 1},
                                     {"while waiting for processing", true, 2}};
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = sessionFolder(u"2026-12-06_12-00-0%1"_s.arg(n++));
        write(folder, u"a.mov"_s, patternBytes(kib, 1));
        write(folder, u"b.json"_s, patternBytes(kib, 2));
        bed.drive.setProcessingFetches(c.duringProcessing ? 1000 : 0);
        WaitCancellation cancellation;
        const auto progress = [&c, &cancellation](const UploadManager::Progress& step) {
            if (!c.duringProcessing && step.kind == UploadManager::Progress::Kind::fileUploaded)
                cancellation.cancel();
        };
        onPause = [&cancellation](int) {
            cancellation.cancel();
        };
        events.clear();
        EXPECT_THROW(runTask(manager->uploadSessionNow(folder, progress, cancellation)), WaitCancelledError);
        EXPECT_EQ(static_cast<int>(UploadStateFile(folder, logger).load().uploadedFiles.size()), c.recorded);
        EXPECT_EQ(events.filter(u"failed"_s).size(), 1);
        EXPECT_FALSE(manager->isBusy());
    }
}

} // namespace
} // namespace ebbcast
