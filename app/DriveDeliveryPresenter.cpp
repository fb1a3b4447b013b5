#include "app/DriveDeliveryPresenter.h"

#include "core/base/EbbcastError.h"
#include "core/base/UserNotifier.h"
#include "core/documents/NewestSessionFolder.h"
#include "drive/UploadRules.h"
#include "drive/UploadStateFile.h"
#include "model/EbbcastAppModel.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString sessionName(const QString& folder)
{
    return QFileInfo(QDir::cleanPath(folder)).fileName();
}

QString count(std::size_t value)
{
    return QString::number(value);
}

// Runs `work` on the context's thread later, unless the context is gone by then.
template <typename Work>
void later(const QPointer<QObject>& context, Work work)
{
    if (context)
        QMetaObject::invokeMethod(context.data(), std::move(work), Qt::QueuedConnection);
}

} // namespace

DriveDeliveryPresenter::DriveDeliveryPresenter(EbbcastAppModel& model, UserNotifier& notifier, Logger& logger,
                                               SessionDelivered onSessionDelivered,
                                               std::function<void()> refreshGoogleConnected)
    : model_(model)
    , notifier_(notifier)
    , logger_(logger)
    , onSessionDelivered_(std::move(onSessionDelivered))
    , refreshGoogleConnected_(std::move(refreshGoogleConnected))
{}

UploadManager::Callbacks DriveDeliveryPresenter::callbacks()
{
    const QPointer<QObject> context(&context_);
    UploadManager::Callbacks callbacks;
    callbacks.onUploadStarted = [this, context](const QString& folder) {
        later(context, [this, folder] { uploadStarted(folder); });
    };
    callbacks.onDriveProcessingStarted = [this, context](const QString& folder,
                                                         const QStringList& videoKeys) {
        later(context, [this, folder, videoKeys] { driveProcessingStarted(folder, videoKeys); });
    };
    callbacks.onUploadCompleted = [this, context](const QString& folder, const UploadState& state) {
        later(context, [this, folder, state] { uploadCompleted(folder, state); });
    };
    callbacks.onUploadFailed = [this, context](const QString& folder, std::exception_ptr error) {
        later(context, [this, folder, error] { uploadFailed(folder, error); });
    };
    callbacks.onFileUploadedInSession = [this, context](const QString& folder, const QString& file,
                                                        const UploadState& state) {
        later(context, [this, folder, file, state] { fileUploadedInSession(folder, file, state); });
    };
    return callbacks;
}

bool DriveDeliveryPresenter::isRecording() const
{
    return model_.state() == EbbcastRunState::recording || model_.state() == EbbcastRunState::wrapUp;
}

void DriveDeliveryPresenter::finishFlight(const QString& folder)
{
    inFlight_.remove(QDir::cleanPath(folder));
    model_.setUploadQueueCount(static_cast<int>(inFlight_.size()));
}

void DriveDeliveryPresenter::showDelivered(const QString& folder, const UploadState& state)
{
    model_.setLastSessionFolder(folder);
    model_.setLastUploadedDriveFolderID(state.driveFolderID);
    model_.setDriveUploadedFileCount(static_cast<int>(state.uploadedFiles.size()));
}

void DriveDeliveryPresenter::uploadStarted(const QString& folder)
{
    const QString name = sessionName(folder);
    inFlight_.insert(QDir::cleanPath(folder));
    model_.setUploadQueueCount(static_cast<int>(inFlight_.size()));
    model_.setDriveDeliveryIsProcessing(false);
    model_.setLastUploadStatus(u"Uploading "_s + name + u"..."_s);
    model_.setDriveDeliveryDetail(u"Preparing Drive delivery: "_s + UploadRules::driveArchivePath(folder) +
                                  u'.');
    if (isRecording())
        return;
    model_.setState(EbbcastRunState::uploading);
    model_.setStatusMessage(u"Uploading "_s + name + u" to Google Drive."_s);
}

void DriveDeliveryPresenter::driveProcessingStarted(const QString& folder, const QStringList& videoKeys)
{
    Q_UNUSED(folder);
    const QString videos = videoKeys.join(u", "_s);
    model_.setDriveDeliveryIsProcessing(true);
    model_.setLastUploadStatus(u"Uploaded; Drive processing: "_s + videos);
    model_.setDriveDeliveryDetail(
        u"Local video artifacts were created and uploaded. Waiting for Drive processing: "_s + videos + u'.');
    if (isRecording())
        return;
    model_.setState(EbbcastRunState::uploading);
    model_.setStatusMessage(u"Video files uploaded; waiting for Google Drive processing."_s);
}

void DriveDeliveryPresenter::uploadCompleted(const QString& folder, const UploadState& state)
{
    const QString name = sessionName(folder);
    finishFlight(folder);
    model_.setDriveDeliveryIsProcessing(false);
    showDelivered(folder, state);
    model_.setLastUploadStatus(u"Uploaded "_s + name);
    model_.setDriveDeliveryDetail(u"Delivered "_s + count(state.uploadedFiles.size()) +
                                  u" files to Drive: "_s + UploadRules::driveArchivePath(folder) + u'.');
    if (!isRecording()) {
        model_.setState(inFlight_.isEmpty() ? EbbcastRunState::completed : EbbcastRunState::uploading);
        model_.setStatusMessage(u"Upload complete: "_s + name);
    }
    notifier_.showNotification(u"Ebbcast upload complete"_s, name, UserNotifier::Kind::information);
    if (onSessionDelivered_)
        onSessionDelivered_(folder);
}

void DriveDeliveryPresenter::uploadFailed(const QString& folder, std::exception_ptr error)
{
    const QString description = describeError(error);
    finishFlight(folder);
    model_.setDriveDeliveryIsProcessing(false);
    model_.setLastUploadStatus(description);
    model_.setDriveDeliveryDetail(u"Drive delivery failed: "_s + description);
    if (!isRecording()) {
        model_.setState(EbbcastRunState::error);
        model_.setStatusMessage(u"Upload failed: "_s + sessionName(folder));
    }
    notifier_.showNotification(u"Ebbcast upload failed"_s, description, UserNotifier::Kind::failure);
    if (refreshGoogleConnected_)
        refreshGoogleConnected_();
}

void DriveDeliveryPresenter::fileUploadedInSession(const QString& folder, const QString& file,
                                                   const UploadState& state)
{
    showDelivered(folder, state);
    model_.setDriveDeliveryDetail(u"Delivered "_s + UploadRules::uploadKey(folder, file) + u" to Drive: "_s +
                                  UploadRules::driveArchivePath(folder) + u" ("_s +
                                  count(state.uploadedFiles.size()) + u" files total)."_s);
    model_.setLastUploadStatus(u"Uploaded "_s + QFileInfo(file).fileName());
}

std::optional<DriveDeliveryPresenter::Restored>
DriveDeliveryPresenter::restoreLastDriveDeliveryState(const QString& recordingsFolder)
{
    const auto newest = newestSessionFolderHolding(recordingsFolder, QString(UploadStateFile::fileName));
    if (!newest)
        return std::nullopt;

    const QString sessionFolder = *newest;
    UploadState state = UploadStateFile(sessionFolder, logger_).load();
    if (!state.driveFolderID)
        return std::nullopt;
    showDelivered(sessionFolder, state);
    model_.setDriveDeliveryDetail(u"Latest Drive archive: "_s + UploadRules::driveArchivePath(sessionFolder) +
                                  u" ("_s + count(state.uploadedFiles.size()) + u" files)."_s);
    return Restored{sessionFolder, std::move(state)};
}

} // namespace ebbcast
