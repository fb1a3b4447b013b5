#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace ebbcast::test {

// What a prepared session holds.
struct PreparedSessionOptions {
    int microphoneChunks = 12;  // "mic_chunk_0001.wav", ...
    int systemAudioChunks = 12; // "system_chunk_0001.m4a", ...
    double chunkSeconds = 2;
    // Real audio, each chunk with a pitch of its own: the microphone's 32-bit float mono WAV at 48 kHz (sox),
    // the system audio's stereo AAC at 48 kHz in .m4a (ffmpeg). Otherwise each chunk file is `fileBytes`
    // bytes of filler that begin with a line naming the chunk (so no two files are alike), written without a
    // tool.
    bool realAudio = false;
    qint64 fileBytes = 64 * 1024;
    // When the session began; its folder is named after it in the local time zone. Default: now, less the
    // session's length.
    std::optional<QDateTime> startTime{};
    QString recorderID = QStringLiteral("rec-1");
    QString recorderName = QStringLiteral("Studio");
    // A synced clock: the chunks get server times and clock figures. Otherwise the clock sync is not
    // configured.
    bool clockSync = true;
};

struct PreparedSession {
    QString folder; // "<recordings>/<yyyy-MM-dd_HH-mm-ss>", absolute
    QString sessionID;
    SessionMetadata metadata; // as read from "metadata.json" (the stored dates have whole seconds)
    // The chunks' audio files and documents, in the order readSessionChunks gives them: by start offset (each
    // system-audio chunk begins a little after the microphone chunk of the same index).
    QStringList chunkPaths;
    std::vector<RecordingChunkMetadata> chunks; // as read from their documents
};

// A session as a recording that has stopped leaves it under `recordingsFolder` (created when missing): its
// chunks in "chunks/", each with its document (every member of the recorder and the session, none of the
// transcription), and "metadata.json" with the end time, duration, the system-audio summary of the stop and
// every chunk in "live_chunks". No marker, no lock; the whole-track files the document names (screen.mov,
// microphone.wav, system_audio.m4a) are not written. Throws a std::exception when a file cannot be written or
// a tool fails.
PreparedSession prepareStoppedSession(const QString& recordingsFolder,
                                      const PreparedSessionOptions& options = {});

} // namespace ebbcast::test
