#include "session/SessionDocument.h"

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/documents/SessionFolder.h"
#include "session/ChunkSessionFields.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// What is stored (with what others wrote into it) plus the stop's members, and any chunk or marker of the
// in-memory copy whose write had failed.
void completeStoredDocument(SessionMetadata& stored, const SessionMetadata& completed)
{
    stored.endTime = completed.endTime;
    stored.duration = completed.duration;
    stored.systemAudioCapture = completed.systemAudioCapture;
    if (completed.liveChunks)
        stored.addMissingChunks(*completed.liveChunks);
    for (const SessionMarker& marker : completed.markers) {
        if (std::none_of(stored.markers.begin(), stored.markers.end(),
                         [&marker](const auto& entry) { return entry.id == marker.id; }))
            stored.markers.push_back(marker);
    }
}

} // namespace

SessionDocument::SessionDocument(SessionMetadata initial, Logger& logger)
    : metadata_(std::move(initial))
    , logger_(logger)
{}

void SessionDocument::create()
{
    MetadataWriter::write(metadata_, metadata_.files.metadata);
}

QString SessionDocument::folder() const
{
    return SessionFolder::ofMetadataPath(metadata_.files.metadata);
}

RecordingChunkMetadata SessionDocument::appendChunk(const RecordingChunkMetadata& chunk)
{
    RecordingChunkMetadata completed = chunk;
    completeChunkSessionFields(completed, &metadata_);
    if (metadata_.liveChunks)
        metadata_.liveChunks->push_back(completed);
    update(folder(), logger_, [&completed](SessionMetadata& document) {
        if (!document.liveChunks)
            document.liveChunks = std::vector<RecordingChunkMetadata>{};
        document.liveChunks->push_back(completed);
    });
    return completed;
}

void SessionDocument::addMarker(const SessionMarker& marker)
{
    metadata_.markers.push_back(marker);
    update(folder(), logger_, [&marker](SessionMetadata& document) { document.markers.push_back(marker); });
}

std::optional<QString> SessionDocument::complete(const QDateTime& endTime, double durationSeconds,
                                                 const std::function<void(SessionMetadata&)>& completeTracks)
{
    metadata_.endTime = endTime;
    metadata_.duration = durationSeconds;
    completeTracks(metadata_);
    try {
        SessionDocumentFile::update(metadata_.files.metadata, [this](SessionMetadata& stored) {
            completeStoredDocument(stored, metadata_);
        });
        return std::nullopt;
    } catch (const EbbcastError&) {
        // The stored document is gone or unreadable: the in-memory copy is written.
    }
    try {
        MetadataWriter::write(metadata_, metadata_.files.metadata);
        return std::nullopt;
    } catch (const EbbcastError& error) {
        return error.description();
    }
}

void SessionDocument::update(const QString& sessionFolder, Logger& logger,
                             const std::function<void(SessionMetadata&)>& change)
{
    try {
        SessionDocumentFile::update(sessionFolder + u"/metadata.json"_s, change);
    } catch (const EbbcastError& error) {
        logger.error(u"Failed to update session metadata: "_s + error.description());
    }
}

} // namespace ebbcast
