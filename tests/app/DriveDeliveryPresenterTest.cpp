#include "app/DriveDeliveryPresenter.h"

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/base/UserNotifier.h"
#include "drive/UploadStateFile.h"
#include "model/EbbcastAppModel.h"
#include "support/ManualRetryTimer.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::TemporaryFolder;

// Remembers every notification instead of showing it.
class RecordingNotifier final : public UserNotifier {
public:
    struct Shown {
        QString title;
        QString body;
        Kind kind;
    };

    void showNotification(const QString& title, const QString& body, Kind kind) override
    {
        shown.push_back({title, body, kind});
    }

    std::vector<Shown> shown;
};

UploadState stateWithFiles(int files, std::optional<QString> folderID = u"session-folder-id"_s)
{
    UploadState state;
    state.driveFolderID = std::move(folderID);
    for (int index = 1; index <= files; ++index)
        state.uploadedFiles[u"chunks/mic_chunk_%1.wav"_s.arg(index, 4, 10, QChar(u'0'))] = {
            u"file-%1"_s.arg(index), QDateTime(QDate(2026, 12, 6), QTime(8, 30), Qt::UTC)};
    return state;
}

class DriveDeliveryPresenterTest : public ::testing::Test {
protected:
    // Runs the callbacks the presenter queued for itself.
    static void deliver() { QCoreApplication::sendPostedEvents(); }

    QString session(const QString& name) const { return folder_.path() + u'/' + name; }

    TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    test::ManualRetryTimer ticker_;
    EbbcastAppModel model_{QUrl(u"https://drive.google.com"_s), {systemTime, [] { return 0.0; }, &ticker_}};
    RecordingNotifier notifier_;
    QStringList delivered_;
    int refreshes_ = 0;
    std::unique_ptr<DriveDeliveryPresenter> presenter_ = std::make_unique<DriveDeliveryPresenter>(
        model_, notifier_, logger_, [this](const QString& folder) { delivered_ << folder; },
        [this] { ++refreshes_; });
    UploadManager::Callbacks callbacks_ = presenter_->callbacks();
};

TEST_F(DriveDeliveryPresenterTest, AWholeSessionUploadGoesFromStartThroughProcessingToComplete)
{
    const QString folder = session(u"2026-12-06_08-21-20"_s);
    callbacks_.onUploadStarted(folder);
    EXPECT_EQ(model_.state(), EbbcastRunState::idle) << "the callback waits for the event loop";
    deliver();
    EXPECT_EQ(model_.state(), EbbcastRunState::uploading);
    EXPECT_EQ(model_.uploadQueueCount(), 1);
    EXPECT_EQ(model_.statusMessage(), u"Uploading 2026-12-06_08-21-20 to Google Drive."_s);
    EXPECT_EQ(model_.lastUploadStatus(), u"Uploading 2026-12-06_08-21-20..."_s);
    EXPECT_EQ(model_.driveDeliveryDetail(), u"Preparing Drive delivery: 2026-12-06 / 2026-12-06_08-21-20."_s);

    callbacks_.onDriveProcessingStarted(folder, {u"screen.mov"_s, u"camera.mov"_s});
    deliver();
    EXPECT_TRUE(model_.driveDeliveryIsProcessing());
    EXPECT_EQ(model_.statusMessage(), u"Video files uploaded; waiting for Google Drive processing."_s);
    EXPECT_EQ(model_.lastUploadStatus(), u"Uploaded; Drive processing: screen.mov, camera.mov"_s);
    EXPECT_EQ(model_.driveDeliveryDetail(),
              u"Local video artifacts were created and uploaded. Waiting for Drive "
              u"processing: screen.mov, camera.mov."_s);

    callbacks_.onUploadCompleted(folder, stateWithFiles(12));
    deliver();
    EXPECT_EQ(model_.state(), EbbcastRunState::completed);
    EXPECT_EQ(model_.uploadQueueCount(), 0);
    EXPECT_FALSE(model_.driveDeliveryIsProcessing());
    EXPECT_EQ(model_.lastSessionFolder(), folder);
    EXPECT_EQ(model_.lastUploadedDriveFolderID(), u"session-folder-id"_s);
    EXPECT_EQ(model_.lastUploadedDriveFolderURL(),
              u"https://drive.google.com/drive/folders/session-folder-id"_s);
    EXPECT_EQ(model_.driveUploadedFileCount(), 12);
    EXPECT_EQ(model_.statusMessage(), u"Upload complete: 2026-12-06_08-21-20"_s);
    EXPECT_EQ(model_.lastUploadStatus(), u"Uploaded 2026-12-06_08-21-20"_s);
    EXPECT_EQ(model_.driveDeliveryDetail(),
              u"Delivered 12 files to Drive: 2026-12-06 / 2026-12-06_08-21-20."_s);
    ASSERT_EQ(notifier_.shown.size(), 1u);
    EXPECT_EQ(notifier_.shown[0].title, u"Ebbcast upload complete"_s);
    EXPECT_EQ(notifier_.shown[0].body, u"2026-12-06_08-21-20"_s);
    EXPECT_EQ(notifier_.shown[0].kind, UserNotifier::Kind::information);
    EXPECT_EQ(delivered_, QStringList{folder});
    EXPECT_EQ(refreshes_, 0);
}

TEST_F(DriveDeliveryPresenterTest, AFailedUploadShowsTheErrorAndRefreshesTheConnection)
{
    const QString folder = session(u"2026-12-06_08-21-20"_s);
    callbacks_.onUploadStarted(folder);
    callbacks_.onDriveProcessingStarted(folder, {u"screen.mov"_s});
    callbacks_.onUploadFailed(folder, std::make_exception_ptr(EbbcastError(u"Drive refused the token"_s)));
    deliver();

    EXPECT_EQ(model_.state(), EbbcastRunState::error);
    EXPECT_EQ(model_.uploadQueueCount(), 0);
    EXPECT_FALSE(model_.driveDeliveryIsProcessing());
    EXPECT_EQ(model_.statusMessage(), u"Upload failed: 2026-12-06_08-21-20"_s);
    EXPECT_EQ(model_.lastUploadStatus(), u"Drive refused the token"_s);
    EXPECT_EQ(model_.driveDeliveryDetail(), u"Drive delivery failed: Drive refused the token"_s);
    ASSERT_EQ(notifier_.shown.size(), 1u);
    EXPECT_EQ(notifier_.shown[0].title, u"Ebbcast upload failed"_s);
    EXPECT_EQ(notifier_.shown[0].body, u"Drive refused the token"_s);
    EXPECT_EQ(notifier_.shown[0].kind, UserNotifier::Kind::failure);
    EXPECT_EQ(refreshes_, 1);
    EXPECT_TRUE(delivered_.isEmpty());
}

TEST_F(DriveDeliveryPresenterTest, TwoInterleavedUploadsStayUploadingUntilBothEnd)
{
    const QString first = session(u"2026-12-06_08-21-20"_s);
    const QString second = session(u"2026-12-06_09-00-00"_s);
    callbacks_.onUploadStarted(first);
    callbacks_.onUploadStarted(second);
    callbacks_.onUploadStarted(first + u'/'); // the same folder again, spelled differently
    deliver();
    EXPECT_EQ(model_.uploadQueueCount(), 2);

    callbacks_.onUploadCompleted(first, stateWithFiles(3));
    deliver();
    EXPECT_EQ(model_.state(), EbbcastRunState::uploading);
    EXPECT_EQ(model_.uploadQueueCount(), 1);
    EXPECT_EQ(model_.statusMessage(), u"Upload complete: 2026-12-06_08-21-20"_s);

    callbacks_.onUploadCompleted(second, stateWithFiles(5));
    deliver();
    EXPECT_EQ(model_.state(), EbbcastRunState::completed);
    EXPECT_EQ(model_.uploadQueueCount(), 0);
    EXPECT_EQ(delivered_, (QStringList{first, second}));
}

TEST_F(DriveDeliveryPresenterTest, ALiveChunkUploadNeverChangesTheRunState)
{
    const QString folder = session(u"2026-12-06_08-21-20"_s);
    model_.setState(EbbcastRunState::paused);
    QSignalSpy state(&model_, &EbbcastAppModel::stateChanged);
    QSignalSpy message(&model_, &EbbcastAppModel::statusMessageChanged);

    callbacks_.onFileUploadedInSession(folder, folder + u"/chunks/mic_chunk_0002.wav"_s, stateWithFiles(2));
    deliver();
    EXPECT_EQ(state.count(), 0);
    EXPECT_EQ(message.count(), 0);
    EXPECT_EQ(model_.lastSessionFolder(), folder);
    EXPECT_EQ(model_.lastUploadedDriveFolderID(), u"session-folder-id"_s);
    EXPECT_EQ(model_.driveUploadedFileCount(), 2);
    EXPECT_EQ(model_.driveDeliveryDetail(), u"Delivered chunks/mic_chunk_0002.wav to Drive: 2026-12-06 / "
                                            u"2026-12-06_08-21-20 (2 files total)."_s);
    EXPECT_EQ(model_.lastUploadStatus(), u"Uploaded mic_chunk_0002.wav"_s);
    EXPECT_TRUE(notifier_.shown.empty());
}

TEST_F(DriveDeliveryPresenterTest, DeliveriesDuringARecordingLeaveStateAndStatusAlone)
{
    for (const EbbcastRunState recording : {EbbcastRunState::recording, EbbcastRunState::wrapUp}) {
        model_.setState(recording);
        model_.setStatusMessage(u"Recording"_s);
        const QString older = session(u"2026-12-05_17-00-00"_s);
        callbacks_.onUploadStarted(older);
        callbacks_.onDriveProcessingStarted(older, {u"screen.mov"_s});
        deliver();
        EXPECT_EQ(model_.state(), recording);
        EXPECT_EQ(model_.statusMessage(), u"Recording"_s);
        EXPECT_EQ(model_.uploadQueueCount(), 1);
        EXPECT_TRUE(model_.driveDeliveryIsProcessing());
        EXPECT_EQ(model_.lastUploadStatus(), u"Uploaded; Drive processing: screen.mov"_s);

        callbacks_.onUploadCompleted(older, stateWithFiles(4));
        deliver();
        EXPECT_EQ(model_.state(), recording);
        EXPECT_EQ(model_.statusMessage(), u"Recording"_s);
        EXPECT_EQ(model_.lastUploadStatus(), u"Uploaded 2026-12-05_17-00-00"_s);
        EXPECT_EQ(model_.driveDeliveryDetail(),
                  u"Delivered 4 files to Drive: 2026-12-05 / 2026-12-05_17-00-00."_s);

        callbacks_.onUploadStarted(older);
        callbacks_.onUploadFailed(older, std::make_exception_ptr(EbbcastError(u"offline"_s)));
        deliver();
        EXPECT_EQ(model_.state(), recording);
        EXPECT_EQ(model_.statusMessage(), u"Recording"_s);
        EXPECT_EQ(model_.lastUploadStatus(), u"offline"_s);
        EXPECT_EQ(model_.uploadQueueCount(), 0);
    }
}

TEST_F(DriveDeliveryPresenterTest, ACallbackAfterThePresenterIsGoneChangesNothing)
{
    const QString folder = session(u"2026-12-06_08-21-20"_s);
    callbacks_.onUploadStarted(folder); // queued, not yet run
    presenter_.reset();
    deliver();
    callbacks_.onUploadCompleted(folder, stateWithFiles(12));
    callbacks_.onUploadFailed(folder, std::make_exception_ptr(EbbcastError(u"late"_s)));
    callbacks_.onFileUploadedInSession(folder, folder + u"/metadata.json"_s, stateWithFiles(1));
    deliver();

    EXPECT_EQ(model_.state(), EbbcastRunState::idle);
    EXPECT_EQ(model_.statusMessage(), u"Ready"_s);
    EXPECT_EQ(model_.driveDeliveryDetail(), u"No Drive delivery yet"_s);
    EXPECT_TRUE(notifier_.shown.empty());
    EXPECT_TRUE(delivered_.isEmpty());
}

class RestoreTest : public DriveDeliveryPresenterTest {
protected:
    // A session folder with its modification time `minutesAgo` before now, and the state if given.
    QString makeSession(const QString& name, int minutesAgo, std::optional<UploadState> state)
    {
        const QString path = session(name);
        EXPECT_TRUE(QDir().mkpath(path));
        if (state)
            UploadStateFile(path, logger_).save(*state);
        std::filesystem::last_write_time(path.toStdString(), std::filesystem::file_time_type::clock::now() -
                                                                 std::chrono::minutes(minutesAgo));
        return path;
    }
};

TEST_F(RestoreTest, PrefersAnOlderFolderWithAStateOverANewerOneWithout)
{
    makeSession(u"2026-12-04_10-00-00"_s, 300, stateWithFiles(2, u"oldest"_s));
    const QString withState = makeSession(u"2026-12-05_10-00-00"_s, 200, stateWithFiles(7, u"a/b"_s));
    makeSession(u"2026-12-06_10-00-00"_s, 10, std::nullopt);
    TemporaryFolder::writeAll(folder_.file(u"notes.txt"_s), "not a session");

    const auto restored = presenter_->restoreLastDriveDeliveryState(folder_.path());
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->sessionFolder, withState);
    EXPECT_EQ(restored->state, stateWithFiles(7, u"a/b"_s));
    EXPECT_EQ(model_.lastSessionFolder(), withState);
    EXPECT_EQ(model_.lastUploadedDriveFolderID(), u"a/b"_s);
    EXPECT_EQ(model_.lastUploadedDriveFolderURL(), u"https://drive.google.com/drive/folders/a%2Fb"_s);
    EXPECT_EQ(model_.driveUploadedFileCount(), 7);
    EXPECT_EQ(model_.driveDeliveryDetail(),
              u"Latest Drive archive: 2026-12-05 / 2026-12-05_10-00-00 (7 files)."_s);
    EXPECT_EQ(model_.state(), EbbcastRunState::idle);
}

TEST_F(RestoreTest, ALatestStateWithoutASessionFolderIdLeavesTheModelUntouched)
{
    makeSession(u"2026-12-04_10-00-00"_s, 300, stateWithFiles(2));
    makeSession(u"2026-12-06_10-00-00"_s, 10, stateWithFiles(3, std::nullopt));
    QSignalSpy detail(&model_, &EbbcastAppModel::driveDeliveryDetailChanged);
    QSignalSpy folder(&model_, &EbbcastAppModel::lastSessionFolderChanged);

    EXPECT_FALSE(presenter_->restoreLastDriveDeliveryState(folder_.path()));
    EXPECT_EQ(detail.count(), 0);
    EXPECT_EQ(folder.count(), 0);
    EXPECT_EQ(model_.driveUploadedFileCount(), 0);

    // Nor does an unreadable one, or a folder without sessions.
    TemporaryFolder::writeAll(session(u"2026-12-06_10-00-00/.ebbcast_upload_state.json"_s), "{ not json");
    EXPECT_FALSE(presenter_->restoreLastDriveDeliveryState(folder_.path()));
    EXPECT_FALSE(presenter_->restoreLastDriveDeliveryState(folder_.file(u"missing"_s)));
    EXPECT_EQ(detail.count(), 0);
}

} // namespace
} // namespace ebbcast
