#include "core/documents/MetadataWriter.h"

#include "core/json/JsonDocumentFile.h"

#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The value without nulls: members holding null are left out of objects, null elements out of arrays.
QJsonValue withoutNulls(const QJsonValue& value)
{
    if (value.isObject()) {
        QJsonObject object;
        const QJsonObject source = value.toObject();
        for (auto it = source.begin(); it != source.end(); ++it) {
            if (!it.value().isNull())
                object.insert(it.key(), withoutNulls(it.value()));
        }
        return object;
    }
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue& element : value.toArray()) {
            if (!element.isNull())
                array.append(withoutNulls(element));
        }
        return array;
    }
    return value;
}

// `typed` with the members of `original` that neither `known` nor `typed` has.
QJsonObject keepUnknownMembers(QJsonObject typed, const QJsonObject& original, const QJsonObject& known)
{
    for (auto it = original.begin(); it != original.end(); ++it) {
        if (known.contains(it.key()) || typed.contains(it.key()) || it.value().isNull())
            continue;
        typed.insert(it.key(), withoutNulls(it.value()));
    }
    return typed;
}

// What the document type makes of `original`: the members it knows.
template <typename Document>
QJsonObject knownMembers(const QJsonObject& original)
{
    const std::optional<Document> decoded = Document::fromJson(original);
    return decoded ? decoded->toJson() : QJsonObject{};
}

} // namespace

void MetadataWriter::write(const SessionMetadata& metadata, const QString& path)
{
    JsonDocumentFile::write(path, metadata.toJson());
}

void MetadataWriter::write(const RecordingChunkMetadata& chunk, const QString& path)
{
    JsonDocumentFile::write(path, chunk.toJson());
}

void MetadataWriter::write(const SessionMetadata& metadata, const QJsonObject& original, const QString& path)
{
    JsonDocumentFile::write(path, mergedWithUnknownMembers(metadata, original));
}

void MetadataWriter::write(const RecordingChunkMetadata& chunk, const QJsonObject& original,
                           const QString& path)
{
    JsonDocumentFile::write(
        path, keepUnknownMembers(chunk.toJson(), original, knownMembers<RecordingChunkMetadata>(original)));
}

QJsonObject MetadataWriter::mergedWithUnknownMembers(const SessionMetadata& metadata,
                                                     const QJsonObject& original)
{
    const QString liveChunksKey = u"live_chunks"_s;
    const QString filePathKey = u"file_path"_s;
    QJsonObject merged =
        keepUnknownMembers(metadata.toJson(), original, knownMembers<SessionMetadata>(original));
    if (!merged.value(liveChunksKey).isArray() || !original.value(liveChunksKey).isArray())
        return merged;

    const QJsonArray originalChunks = original.value(liveChunksKey).toArray();
    QJsonArray chunks = merged.value(liveChunksKey).toArray();
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        const QJsonObject entry = chunks.at(i).toObject();
        const QJsonValue filePath = entry.value(filePathKey);
        const auto match =
            std::find_if(originalChunks.begin(), originalChunks.end(), [&](const QJsonValue& candidate) {
                return candidate.isObject() && candidate.toObject().value(filePathKey) == filePath;
            });
        if (match == originalChunks.end())
            continue;
        const QJsonObject stored = (*match).toObject();
        chunks.replace(i, keepUnknownMembers(entry, stored, knownMembers<RecordingChunkMetadata>(stored)));
    }
    merged.insert(liveChunksKey, chunks);
    return merged;
}

QString MetadataWriter::chunkDocumentPath(const QString& chunkAudioPath)
{
    const QFileInfo audio(chunkAudioPath);
    const QString suffix = audio.suffix();
    const QString stem = suffix.isEmpty() ? chunkAudioPath : chunkAudioPath.chopped(suffix.size() + 1);
    return stem + u".json"_s;
}

} // namespace ebbcast
