#include "app/ModelTranscriptStatus.h"

#include "model/EbbcastAppModel.h"

namespace ebbcast {

ModelTranscriptStatus::ModelTranscriptStatus(EbbcastAppModel& model)
    : model_(model)
{}

void ModelTranscriptStatus::setTranscriptStatus(const QString& status, const QString& detail)
{
    model_.setTranscriptStatus(status);
    model_.setTranscriptDetail(detail);
}

void ModelTranscriptStatus::setLastTranscriptURL(const QString& transcriptFile)
{
    model_.setLastTranscriptURL(transcriptFile);
}

void ModelTranscriptStatus::setLastTranscriptDriveFolderID(const std::optional<QString>& folderID)
{
    model_.setLastTranscriptDriveFolderID(folderID);
}

} // namespace ebbcast
