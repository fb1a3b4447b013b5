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

namespace {

// Under the lock of `sessionFolder`: reads, decodes, changes and replaces the document at `path`, keeping the
// members the type does not know. `what` names the type in the error.
template <typename Document>
void updateLocked(const QString& sessionFolder, const QString& path, const QString& what,
                  const std::function<void(Document&)>& change)
{
    // The lock is on a file of its own: the atomic replace gives the document a new inode at every write.
    const FileLock lock(sessionFolder + u'/' + SessionDocumentFile::lockFileName());
    const JsonDocumentFile::ReadResult stored = JsonDocumentFile::read(path);
    if (stored.status != JsonDocumentFile::ReadResult::Status::ok)
        throw FileError(FileError::Code::readFailed, path,
                        stored.status == JsonDocumentFile::ReadResult::Status::missing
                            ? u"it does not exist"_s
                            : stored.problem);
    std::optional<Document> document = Document::fromJson(stored.object);
    if (!document)
        throw FileError(FileError::Code::readFailed, path, u"it is not a readable "_s + what);
    change(*document);
    MetadataWriter::write(*document, stored.object, path);
}

} // namespace

void SessionDocumentFile::update(const QString& metadataPath,
                                 const std::function<void(SessionMetadata&)>& change)
{
    updateLocked<SessionMetadata>(QFileInfo(metadataPath).absolutePath(), metadataPath, u"session document"_s,
                                  change);
}

void SessionDocumentFile::updateChunk(const QString& chunkDocumentPath,
                                      const std::function<void(RecordingChunkMetadata&)>& change)
{
    const QString sessionFolder = QFileInfo(QFileInfo(chunkDocumentPath).absolutePath()).absolutePath();
    updateLocked<RecordingChunkMetadata>(sessionFolder, chunkDocumentPath, u"chunk document"_s, change);
}

} // namespace ebbcast
