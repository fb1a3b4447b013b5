#pragma once

#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionMetadata.h"
#include "support/TemporaryFolder.h"

#include <QDateTime>
#include <QDir>
#include <QString>

namespace ebbcast::test {

// A session folder as a crash leaves it: its document has no end time, and the marker is there when asked
// for. Returns the document written.
inline SessionMetadata writeInterruptedSession(const QString& folder, const QString& name,
                                               const QDateTime& startTime, bool marker = true)
{
    QDir().mkpath(folder);
    SessionMetadata document;
    document.sessionID = name;
    document.startTime = startTime;
    document.recorder = {QStringLiteral("velno"), QStringLiteral("Velno")};
    document.audioDevices = {QStringLiteral("Default microphone"),
                             QStringLiteral("ScreenCaptureKit system audio")};
    document.systemAudioCapture = SystemAudioCaptureMetadata::unavailable();
    document.files = {folder + QStringLiteral("/screen.mov"), folder + QStringLiteral("/system_audio.m4a"),
                      folder + QStringLiteral("/microphone.wav"), folder + QStringLiteral("/metadata.json")};
    document.appVersion = QStringLiteral("0.1.0");
    MetadataWriter::write(document, document.files.metadata);
    if (marker)
        TemporaryFolder::writeAll(folder + QStringLiteral("/.ebbcast_recording_active"), "");
    return document;
}

} // namespace ebbcast::test
