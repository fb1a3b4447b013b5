#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"

namespace ebbcast {

// Fills the members of a chunk document that the recording session owns, from the session's document: the
// session start, the chunk's offsets and timecodes within the session (never below 0, the end never before
// the start), and the clock-sync status ("not_configured" without clock sync) with the server times and
// clock figures of the best sample. Without a session document only the status is set. Used for chunks
// reported while recording and for the chunk a crash left without a document.
void completeChunkSessionFields(RecordingChunkMetadata& chunk, const SessionMetadata* session);

} // namespace ebbcast
