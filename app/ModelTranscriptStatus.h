#pragma once

#include "transcription/TranscriptFinalizerPorts.h"

namespace ebbcast {

class EbbcastAppModel;

// The final transcript's status shown in the application model. Main thread.
class ModelTranscriptStatus final : public TranscriptStatusSink {
public:
    explicit ModelTranscriptStatus(EbbcastAppModel& model);

    void setTranscriptStatus(const QString& status, const QString& detail) override;
    void setLastTranscriptURL(const QString& transcriptFile) override;
    void setLastTranscriptDriveFolderID(const std::optional<QString>& folderID) override;

private:
    EbbcastAppModel& model_;
};

} // namespace ebbcast
