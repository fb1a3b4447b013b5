#pragma once

#include <QString>

#include <optional>

namespace ebbcast {

// How far a chunk's transcription got, as kept in its document's "transcription_status". A chunk without
// the member has never been submitted.
enum class ChunkTranscriptionStatus {
    accepted,      // "accepted": the gateway took the upload and created a job
    uploadFailed,  // "upload_failed": every upload attempt failed
    pollingFailed, // "polling_failed": polling, listing or downloading failed, or the job did not succeed
    complete,      // "complete": a transcript with text was fetched
    completeEmpty, // "complete_empty": the transcript was empty after trimming
    completeMissingTranscript, // "complete_missing_transcript": the job offered no transcript
};

QString toString(ChunkTranscriptionStatus status);
std::optional<ChunkTranscriptionStatus> chunkTranscriptionStatus(const QString& text);

// Whether the chunk's outcome is settled for assembling the session's transcript: every status but
// "accepted". The two failures count as final here although a restart may still submit the chunk again.
bool isFinal(ChunkTranscriptionStatus status);
// The same for a stored value: an unknown value or none is not final.
bool isFinalTranscriptionStatus(const std::optional<QString>& stored);

} // namespace ebbcast
