#include "transcription/ChunkTranscriptFile.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

bool isSafeKind(const QString& kind)
{
    return !kind.isEmpty() && std::all_of(kind.begin(), kind.end(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_';
    });
}

} // namespace

std::optional<QString> ChunkTranscriptFile::fileName(const QString& kind, qint64 index)
{
    if (!isSafeKind(kind))
        return std::nullopt;
    return kind + QString::asprintf("_chunk_%04lld.txt", static_cast<long long>(index));
}

std::optional<QString> ChunkTranscriptFile::writerFileName(const RecordingChunkMetadata& chunk)
{
    return fileName(chunk.kind, chunk.index);
}

std::optional<QString> ChunkTranscriptFile::readerFileName(const RecordingChunkMetadata& chunk)
{
    return fileName(readerKindName(chunk.kind), chunk.index);
}

QString ChunkTranscriptFile::readerKindName(const QString& kind)
{
    const QString lower = kind.toLower();
    if (lower == u"mic"_s || lower == u"microphone"_s)
        return u"microphone"_s;
    if (lower == u"system"_s || lower == u"system_audio"_s)
        return u"system_audio"_s;
    return kind;
}

QString ChunkTranscriptFile::path(const QString& sessionFolder, const QString& fileName)
{
    return sessionFolder + u'/' + directoryName + u'/' + fileName;
}

} // namespace ebbcast
