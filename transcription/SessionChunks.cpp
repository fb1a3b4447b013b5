#include "transcription/SessionChunks.h"

#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

double sortTime(const RecordingChunkMetadata& chunk)
{
    if (chunk.startOffsetSeconds)
        return *chunk.startOffsetSeconds;
    return static_cast<double>(chunk.startTime.toSecsSinceEpoch());
}

} // namespace

std::vector<RecordingChunkMetadata> readSessionChunks(const QString& sessionFolder)
{
    const QDir folder(sessionFolder + u"/chunks"_s);
    std::vector<RecordingChunkMetadata> chunks;
    const QFileInfoList entries = folder.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo& entry : entries) {
        if (entry.suffix().toLower() != u"json"_s)
            continue;
        const auto object = JsonDocumentFile::readObject(entry.filePath());
        if (!object)
            continue;
        if (auto chunk = RecordingChunkMetadata::fromJson(*object))
            chunks.push_back(std::move(*chunk));
    }
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const RecordingChunkMetadata& a, const RecordingChunkMetadata& b) {
                         const double timeA = sortTime(a);
                         const double timeB = sortTime(b);
                         if (timeA != timeB)
                             return timeA < timeB;
                         if (a.index != b.index)
                             return a.index < b.index;
                         return QString::compare(a.kind, b.kind, Qt::CaseSensitive) < 0;
                     });
    return chunks;
}

QString sessionThreadKey(const QString& recorderID, const QString& sessionID)
{
    return u"ebbcast:"_s + recorderID + u':' + sessionID;
}

} // namespace ebbcast
