#pragma once

#include "core/documents/RecordingChunkMetadata.h"

#include <QString>

#include <vector>

namespace ebbcast {

// The chunk documents of a session folder ("chunks/*.json", extension in any case) in their canonical order:
// by "start_offset_seconds" (else "start_time" as seconds since 1970, which sorts after every offset), then
// "index", then "kind"; a stable sort over the files in name order. Documents that do not decode are
// skipped; a missing or unreadable folder gives an empty list.
std::vector<RecordingChunkMetadata> readSessionChunks(const QString& sessionFolder);

// The key of a session's chat thread downstream: "ebbcast:" + recorder id + ":" + session identifier.
QString sessionThreadKey(const QString& recorderID, const QString& sessionID);

} // namespace ebbcast
