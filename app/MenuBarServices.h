#pragma once

#include "capture/WrapUpRecorder.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <optional>

namespace ebbcast {

// What the tray menu commands, each as the menu sees it; the application wiring adapts the real components
// (MenuBarAdapters.h) and tests put recording fakes in. Every method runs on the main thread; a failure is
// thrown as an exception whose description (describeError) is what the user reads.

// The recording session.
class MenuRecording {
public:
    virtual ~MenuRecording() = default;

    virtual bool isRecording() const = 0;
    // A start or a stop is under way, whoever asked for it.
    virtual bool isTransitioning() const = 0;
    // Starts a session the user asked for; a failure reaches the user through the session's own alerts.
    virtual QCoro::Task<> start() = 0;
    // Stops the running session and gives its folder; nothing when none was running.
    virtual QCoro::Task<std::optional<QString>> stop(bool suppressUpload) = 0;
    // The newest session this process completed.
    virtual std::optional<QString> lastCompletedSessionFolder() const = 0;
    // The running (or starting) session's folder.
    virtual std::optional<QString> currentSessionFolder() const = 0;
    virtual void createMarker() = 0;
    virtual void markWrapUpPending(const QString& sessionFolder) = 0;
    virtual void markWrapUpCompleted(const QString& sessionFolder, const QString& moviePath,
                                     const QString& metadataPath) = 0;
    virtual void markWrapUpFailed(const QString& sessionFolder, const QString& reason) = 0;
};

// The wrap-up note: its recorder, the preview window and the devices' check.
class MenuWrapUp {
public:
    virtual ~MenuWrapUp() = default;

    // Records a note in `sessionFolder` (a new folder of its own without one), showing the camera's preview;
    // gives the movie's path once it records.
    virtual QCoro::Task<QString> start(std::optional<QString> sessionFolder) = 0;
    // Hides the preview and finishes the note; never throws.
    virtual QCoro::Task<WrapUpOutcome> stop() = 0;
};

// Google sign-in and the uploads.
class MenuUploads {
public:
    virtual ~MenuUploads() = default;

    virtual QCoro::Task<bool> isGoogleConnected() = 0;
    virtual QCoro::Task<> connectGoogle() = 0;
    // Uploads whatever the upload setting says (the user asked).
    virtual void uploadSession(const QString& sessionFolder) = 0;
    // Uploads when uploads are on.
    virtual void uploadSessionIfEnabled(const QString& sessionFolder) = 0;
};

// The alerts of the menu's commands: a message in bold and, below it, its details. They never block the
// event loop: a question is awaited.
class MenuAlerts {
public:
    virtual ~MenuAlerts() = default;

    virtual void showInformation(const QString& text, const QString& details = {}) = 0;
    virtual void showError(const QString& text, const QString& details = {}) = 0;
    // True when the user chose `acceptText`, false for `rejectText` or a closed box.
    virtual QCoro::Task<bool> ask(const QString& text, const QString& details, const QString& acceptText,
                                  const QString& rejectText) = 0;
};

} // namespace ebbcast
