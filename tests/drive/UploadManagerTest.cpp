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

#include <gtest/gtest.h>

#include <map>

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
            co_return;
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

} // namespace
} // namespace ebbcast
