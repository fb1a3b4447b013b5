#pragma once

#include "drive/UploadState.h"
#include "transcription/TranscriptDocuments.h"

namespace ebbcast {

// What the provenance document names of a session's upload state: the session's Drive folder, its final
// transcript folder and the Drive id of every uploaded file by upload key.
TranscriptDriveRecord transcriptDriveRecord(const UploadState& state);

} // namespace ebbcast
