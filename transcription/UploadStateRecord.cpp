#include "transcription/UploadStateRecord.h"

namespace ebbcast {

TranscriptDriveRecord transcriptDriveRecord(const UploadState& state)
{
    TranscriptDriveRecord record;
    record.sessionFolderID = state.driveFolderID;
    record.finalTranscriptFolderID = state.driveFolder(DriveSubfolderKey::finalTranscript);
    for (const auto& [key, file] : state.uploadedFiles)
        record.fileIDs.emplace(key, file.driveFileID);
    return record;
}

} // namespace ebbcast
