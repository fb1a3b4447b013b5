#pragma once

#include "core/base/EbbcastError.h"
#include "core/base/WallClock.h"

#include <QDateTime>
#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>

#include <optional>

namespace ebbcast {

class Logger;

// How far a session's final transcript got: the documents' status, how many chunk documents they were made
// from, when (the session's end time) and whether the relay accepted the transcript-ready event.
struct TranscriptFinalizationState {
    QString status; // "ready" or "partial"
    qint64 sourceChunkCount = 0;
    std::optional<QDateTime> finalizedAt;
    std::optional<QDateTime> notificationSentAt; // once set, kept by every later finalization

    static std::optional<TranscriptFinalizationState> fromJson(const QJsonValue& json);
    QJsonObject toJson() const;

    bool operator==(const TranscriptFinalizationState&) const = default;
};

// The state file exists but its bytes cannot be read (permissions, an I/O error): nothing may replace it,
// or a recorded notification would be sent again.
class TranscriptStateReadError : public EbbcastError {
public:
    using EbbcastError::EbbcastError;
};

// ".ebbcast_transcript_state.json" in a session folder: pretty-printed JSON with sorted keys through the
// document encoder, replaced atomically. Any thread.
class TranscriptFinalizationStateFile {
public:
    static constexpr QLatin1StringView fileName{".ebbcast_transcript_state.json"};

    TranscriptFinalizationStateFile(QString sessionFolder, Logger& logger, WallClock clock = systemTime);

    QString path() const;

    // The stored state, or nothing when it is missing or unreadable. Changes nothing on disk.
    std::optional<TranscriptFinalizationState> read() const;

    // The state to update: the stored one, or an empty one when the file is missing. A file that reads but
    // does not decode is kept aside as "<file>.corrupt-<UTC time>" with one error line, and the empty state
    // is returned. Throws TranscriptStateReadError when the file cannot be read or kept aside.
    TranscriptFinalizationState loadForUpdate() const;

    // Throws FileError or DocumentError; the old file then stays as it was.
    void save(const TranscriptFinalizationState& state) const;

private:
    QString sessionFolder_;
    Logger& logger_;
    WallClock clock_;
};

} // namespace ebbcast
