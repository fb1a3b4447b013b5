#pragma once

#include "app/MenuBarServices.h"

namespace ebbcast {

class RecordingSession;
class UploadManager;
class WrapUpPreviewWindowController;
class WrapUpRecorder;

// The recording session as the menu commands it.
class RecordingSessionMenu final : public MenuRecording {
public:
    explicit RecordingSessionMenu(RecordingSession& session)
        : session_(session)
    {}

    bool isRecording() const override;
    bool isTransitioning() const override;
    QCoro::Task<> start() override;
    QCoro::Task<std::optional<QString>> stop(bool suppressUpload) override;
    std::optional<QString> lastCompletedSessionFolder() const override;
    std::optional<QString> currentSessionFolder() const override;
    void createMarker() override;
    void markWrapUpPending(const QString& sessionFolder) override;
    void markWrapUpCompleted(const QString& sessionFolder, const QString& moviePath,
                             const QString& metadataPath) override;
    void markWrapUpFailed(const QString& sessionFolder, const QString& reason) override;

private:
    RecordingSession& session_;
};

// The wrap-up recorder with its preview window: shown once the camera runs, hidden when the note ends.
class WrapUpRecorderMenu final : public MenuWrapUp {
public:
    WrapUpRecorderMenu(WrapUpRecorder& recorder, WrapUpPreviewWindowController& preview);

    QCoro::Task<QString> start(std::optional<QString> sessionFolder) override;
    QCoro::Task<WrapUpOutcome> stop() override;

private:
    WrapUpRecorder& recorder_;
    WrapUpPreviewWindowController& preview_;
};

// Google sign-in and the uploads of the upload manager.
class UploadManagerMenu final : public MenuUploads {
public:
    explicit UploadManagerMenu(UploadManager& uploads)
        : uploads_(uploads)
    {}

    QCoro::Task<bool> isGoogleConnected() override;
    QCoro::Task<> connectGoogle() override;
    void uploadSession(const QString& sessionFolder) override;
    void uploadSessionIfEnabled(const QString& sessionFolder) override;

private:
    UploadManager& uploads_;
};

} // namespace ebbcast
