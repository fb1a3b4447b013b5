#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace ebbcast {

struct RecordingChunkMetadata;

// The relay's event names.
namespace RelayEvent {
inline constexpr char sessionStarted[] = "recording.session.started";
inline constexpr char chunkReady[] = "recording.chunk.ready";
inline constexpr char chunkTranscribed[] = "recording.chunk.transcribed";
inline constexpr char transcriptReady[] = "recording.transcript.ready";
} // namespace RelayEvent

// Names a chunk within a session: its kind ("microphone", "system_audio") and index.
struct ChunkRef {
    QString kind;
    qint64 index = 0;

    friend bool operator==(const ChunkRef&, const ChunkRef&) = default;
};

// The body of one relay request. The members are written in declaration order; absent optionals are left
// out; dates in UTC with whole seconds and "Z".
struct PelkoReadyPayload {
    QString event;
    QString kind; // the same as event
    QString source = QStringLiteral("ebb-cast");
    std::optional<QString> track;
    QString notes;
    QString recorderID;
    QString recorderName;
    QString recordingName;
    QString sessionID;
    QString threadKey;
    std::optional<QString> collectionID;
    QString threadIntent = QStringLiteral("single_transcription_thread");
    std::optional<QString> threadTS;
    std::optional<QString> parentThreadTS;
    QString idempotencyKey;
    std::optional<qint64> chunkIndex;
    std::optional<QString> chunkKind;
    std::optional<QDateTime> chunkStartTime;
    std::optional<QDateTime> chunkEndTime;
    std::optional<double> chunkDuration;
    std::optional<QDateTime> serverChunkStartTime;
    std::optional<QDateTime> serverChunkEndTime;
    std::optional<double> clockOffsetMilliseconds;
    std::optional<double> clockRoundTripMilliseconds;
    std::optional<QString> clockSyncStatus;
    std::optional<QString> gatewayJobID;
    std::optional<QString> glossenJobID;
    std::optional<QString> ebbcastChunkID;
    std::optional<qint64> transcriptArtifactID;
    std::optional<QString> transcriptPreview;
    std::optional<QString> transcriptFileName;
    std::optional<QString> transcriptDriveURL;
    std::optional<QString> fileName;
    std::optional<QString> driveURL;
    std::optional<QString> folderURL;

    // Fills the chunk members (track, index, kind, times, duration, server times, clock fields, chunk id).
    void setChunk(const RecordingChunkMetadata& chunk);

    // The JSON body; std::nullopt when a number is not finite.
    std::optional<QByteArray> encode() const;
};

// Texts and keys shared by the relay's events.
class RelayWording {
public:
    // "<@ID>" for a user ID (trimmed), else "@Pelko".
    static QString mention(const QString& userID);
    // "ebbcast:<recorder>:<session>", the session's thread key.
    static QString threadKey(const QString& recorderID, const QString& sessionName);
    // The thread key + ":" + event, and ":" + kind + ":" + index for a chunk event.
    static QString eventKey(const QString& threadKey, const QString& event,
                            const std::optional<ChunkRef>& chunk);
    // The trimmed text; beyond 500 characters (user-perceived, never splitting a character) its first 500
    // followed by "...".
    static QString transcriptPreview(const QString& text);
};

} // namespace ebbcast
