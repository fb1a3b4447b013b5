#pragma once

#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"

namespace ebbcast::test {

// Documents with every member, optional ones included, set to a value; dates on whole seconds.
RecordingChunkMetadata completeChunk();
SessionMetadata completeSession();
// The document as created at a session's start: no end time, empty markers and chunks.
SessionMetadata startedSession();

} // namespace ebbcast::test
