#include "core/documents/SessionDocumentFile.h"

#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/documents/MetadataWriter.h"
#include "core/json/JsonDocumentFile.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ebbcast {

QString SessionDocumentFile::lockFileName()
{
    return u".metadata.json.lock"_s;
}

void SessionDocumentFile::update(const QString& metadataPath,
                                 const std::function<void(SessionMetadata&)>& change)
{
    // The lock is on a file of its own: the atomic replace gives the document a new inode at every write.
    const FileLock lock(QFileInfo(metadataPath).absolutePath() + u'/' + lockFileName());
    const JsonDocumentFile::ReadResult stored = JsonDocumentFile::read(metadataPath);
    if (stored.status != JsonDocumentFile::ReadResult::Status::ok)
        throw FileError(FileError::Code::readFailed, metadataPath,
                        stored.status == JsonDocumentFile::ReadResult::Status::missing
                            ? u"it does not exist"_s
                            : stored.problem);
    std::optional<SessionMetadata> document = SessionMetadata::fromJson(stored.object);
    if (!document)
        throw FileError(FileError::Code::readFailed, metadataPath,
                        u"it is not a readable session document"_s);
    change(*document);
    MetadataWriter::write(*document, stored.object, metadataPath);
}

void SessionDocumentFile::updateChunk(const QString& chunkDocumentPath,
                                      const std::function<void(RecordingChunkMetadata&)>& change)
{
    const QString sessionFolder = QFileInfo(QFileInfo(chunkDocumentPath).absolutePath()).absolutePath();
    const FileLock lock(sessionFolder + u'/' + lockFileName());
    const JsonDocumentFile::ReadResult stored = JsonDocumentFile::read(chunkDocumentPath);
    if (stored.status != JsonDocumentFile::ReadResult::Status::ok)
        throw FileError(FileError::Code::readFailed, chunkDocumentPath,
                        stored.status == JsonDocumentFile::ReadResult::Status::missing
                            ? u"it does not exist"_s
                            : stored.problem);
    std::optional<RecordingChunkMetadata> document = RecordingChunkMetadata::fromJson(stored.object);
    if (!document)
        throw FileError(FileError::Code::readFailed, chunkDocumentPath,
                        u"it is not a readable chunk document"_s);
    change(*document);
    MetadataWriter::write(*document, stored.object, chunkDocumentPath);
}

} // namespace ebbcast
