#pragma once

#include "core/base/WallClock.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"
#include "transcription/StagedFileSet.h"
#include "transcription/TranscriptAssembly.h"
#include "transcription/TranscriptDocuments.h"

#include <QString>

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace ebbcast {

class Logger;

// Locations (paths in the session folder's "transcripts") and texts of a written final transcript set.
struct FinalTranscriptArtifacts {
    QString brief;           // "00 Session Brief.md"
    QString cleanTranscript; // "01 Clean Transcript.md"
    QString timeline;        // "02 Timeline.json"
    QString rawTranscript;   // "03 Raw Transcript.md"
    QString provenance;      // "04 Provenance.json"
    QString plainText;       // also the content of "session_transcript.txt"
    QString status;          // "ready" or "partial"
};

// Writes a stopped session's final transcript set into its "transcripts" folder: five numbered documents
// (brief, clean transcript, timeline, raw transcript, provenance) and three older names kept for earlier
// readers ("session_transcript.md" and "session_timeline.json" are byte copies of the clean transcript and
// the timeline; "session_transcript.txt" is the plain text). The set is replaced as a whole
// (StagedFileSet): a failure leaves the previous set as it was.
// The documents are a convenience view: chunks appear in the order given, texts are never merged or
// deduplicated. JSON goes through the document encoder.
// Blocking; meant to run on a worker (runOnWorker) while the caller holds the session's gate. The calls may
// run on any thread; setConfig may be called meanwhile from another.
class FinalTranscriptWriter {
public:
    struct Config {
        QString recorderID; // the first part of the thread key
    };

    // The Drive record of a session folder, read when the set is assembled; nothing when the session has
    // none or it cannot be read (the provenance then names no Drive ids).
    using DriveRecordSource =
        std::function<std::optional<TranscriptDriveRecord>(const QString& sessionFolder)>;
    // The Drive web page of a file id. Both functions are called on the writer's thread.
    using DriveFileLink = std::function<QString(const QString& fileID)>;

    static constexpr QLatin1StringView briefName{"00 Session Brief.md"};
    static constexpr QLatin1StringView cleanTranscriptName{"01 Clean Transcript.md"};
    static constexpr QLatin1StringView timelineName{"02 Timeline.json"};
    static constexpr QLatin1StringView rawTranscriptName{"03 Raw Transcript.md"};
    static constexpr QLatin1StringView provenanceName{"04 Provenance.json"};
    static constexpr QLatin1StringView olderTranscriptName{"session_transcript.md"};
    static constexpr QLatin1StringView plainTextName{"session_transcript.txt"};
    static constexpr QLatin1StringView olderTimelineName{"session_timeline.json"};

    FinalTranscriptWriter(Config config, Logger& logger, DriveRecordSource driveRecords,
                          DriveFileLink driveFileLink, WallClock clock = systemTime,
                          StagedFileSet::FileWriter fileWriter = StagedFileSet::writeSynced);

    void setConfig(Config config);

    // Writes the whole set for `chunks` (in the order of readSessionChunks) and returns where it is. Throws
    // FileError or DocumentError; the set on disk is then the one before the call, with no staged file left.
    FinalTranscriptArtifacts writeFinalTranscriptArtifacts(const QString& sessionFolder,
                                                           const SessionMetadata& session,
                                                           const std::vector<RecordingChunkMetadata>& chunks);

    // Rewrites the provenance document alone at `destination` (staged and renamed), with the Drive ids of
    // `drive`. Throws FileError or DocumentError.
    void writeProvenanceFile(const QString& destination, const QString& sessionFolder,
                             const SessionMetadata& session,
                             const std::vector<RecordingChunkMetadata>& chunks,
                             const std::optional<TranscriptDriveRecord>& drive);

    // A chunk's text: its "transcript_text" when not blank, else its per-chunk transcript file; trimmed.
    // Nothing when neither has text; each outcome of the file lookup is logged.
    std::optional<QString> resolvedTranscriptText(const QString& sessionFolder,
                                                  const RecordingChunkMetadata& chunk) const;

    // The thread key of the session in `sessionFolder`: it names the session by its folder, as the chunk
    // uploads and the relay do (a "-N" folder shares its session id with another session).
    QString threadKey(const QString& sessionFolder) const;

    // The upload key of a chunk's audio file: its path relative to the session folder, or "chunks/" + its
    // file name when the recorded path lies outside the folder (a folder moved or copied since).
    static QString chunkUploadKey(const QString& sessionFolder, const QString& chunkFilePath);

private:
    Config currentConfig() const;
    SessionTranscriptProvenance provenance(const QString& sessionFolder, const TranscriptAssembly& assembly,
                                           const std::optional<TranscriptDriveRecord>& drive) const;
    std::optional<QString> driveLink(const std::optional<QString>& fileID) const;

    mutable std::mutex configMutex_;
    Config config_;
    Logger& logger_;
    DriveRecordSource driveRecords_;
    DriveFileLink driveFileLink_;
    WallClock clock_;
    StagedFileSet::FileWriter fileWriter_;
};

} // namespace ebbcast
