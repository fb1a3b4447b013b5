#include "MetadataWriter.h"

#include "JsonDocumentFile.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ebbcast {

void MetadataWriter::write(const SessionMetadata& metadata, const QString& path)
{
    JsonDocumentFile::write(path, metadata.toJson());
}

void MetadataWriter::write(const RecordingChunkMetadata& chunk, const QString& path)
{
    JsonDocumentFile::write(path, chunk.toJson());
}

QString MetadataWriter::chunkDocumentPath(const QString& chunkAudioPath)
{
    const QFileInfo audio(chunkAudioPath);
    const QString suffix = audio.suffix();
    const QString stem = suffix.isEmpty() ? chunkAudioPath : chunkAudioPath.chopped(suffix.size() + 1);
    return stem + u".json"_s;
}

} // namespace ebbcast
