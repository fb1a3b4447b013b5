#include "app/MenuBarAdapters.h"

#include "app/WrapUpPreviewWindowController.h"
#include "capture/WrapUpRecorder.h"
#include "drive/UploadManager.h"
#include "session/RecordingSession.h"

namespace ebbcast {

bool RecordingSessionMenu::isRecording() const
{
    return session_.isRecording();
}

bool RecordingSessionMenu::isTransitioning() const
{
    return session_.isTransitioning();
}

QCoro::Task<> RecordingSessionMenu::start()
{
    co_await session_.start(false);
}

QCoro::Task<std::optional<QString>> RecordingSessionMenu::stop(bool suppressUpload)
{
    const std::optional<RecordingSession::StopOutcome> outcome = co_await session_.stop(suppressUpload);
    if (!outcome)
        co_return std::nullopt;
    co_return outcome->sessionFolder;
}

std::optional<QString> RecordingSessionMenu::lastCompletedSessionFolder() const
{
    return session_.lastCompletedSessionFolder();
}

std::optional<QString> RecordingSessionMenu::currentSessionFolder() const
{
    return session_.currentSessionFolder();
}

void RecordingSessionMenu::createMarker()
{
    session_.createMarker();
}

void RecordingSessionMenu::markWrapUpPending(const QString& sessionFolder)
{
    session_.markWrapUpPending(sessionFolder);
}

void RecordingSessionMenu::markWrapUpCompleted(const QString& sessionFolder, const QString& moviePath,
                                               const QString& metadataPath)
{
    session_.markWrapUpCompleted(sessionFolder, moviePath, metadataPath);
}

void RecordingSessionMenu::markWrapUpFailed(const QString& sessionFolder, const QString& reason)
{
    session_.markWrapUpFailed(sessionFolder, reason);
}

WrapUpRecorderMenu::WrapUpRecorderMenu(WrapUpRecorder& recorder, WrapUpPreviewWindowController& preview)
    : recorder_(recorder)
    , preview_(preview)
{
    recorder_.onSessionReady = [this](CameraPreviewFeed& feed) {
        preview_.show(feed);
    };
}

QCoro::Task<QString> WrapUpRecorderMenu::start(std::optional<QString> sessionFolder)
{
    try {
        co_return co_await recorder_.start(std::move(sessionFolder));
    } catch (...) {
        preview_.hide();
        throw;
    }
}

QCoro::Task<WrapUpOutcome> WrapUpRecorderMenu::stop()
{
    preview_.hide();
    co_return co_await recorder_.stop();
}

QCoro::Task<bool> UploadManagerMenu::isGoogleConnected()
{
    co_return co_await uploads_.isGoogleConnected();
}

QCoro::Task<> UploadManagerMenu::connectGoogle()
{
    co_await uploads_.connectGoogle();
}

void UploadManagerMenu::uploadSession(const QString& sessionFolder)
{
    uploads_.uploadSession(sessionFolder);
}

void UploadManagerMenu::uploadSessionIfEnabled(const QString& sessionFolder)
{
    uploads_.uploadSessionIfEnabled(sessionFolder);
}

} // namespace ebbcast
