#include "core/documents/MetadataWriter.h"

#include "core/SampleDocuments.h"
#include "core/json/JsonDocumentFile.h"
#include "support/TemporaryFolder.h"

#include <QJsonArray>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// A stored session document with two chunk entries, as a newer version or another component left it.
QJsonObject storedWithForeignMembers(const SessionMetadata& session)
{
    QJsonObject stored = session.toJson();
    stored.insert(u"upload_state"_s, QJsonObject{{u"drive_file_id"_s, u"abc"_s}, {u"retry"_s, QJsonValue()}});
    stored.insert(u"pending_note"_s, QJsonValue()); // null: the document encoding has none
    QJsonArray chunks = stored.value(u"live_chunks"_s).toArray();
    QJsonObject first = chunks.at(0).toObject();
    first.insert(u"speaker_labels"_s, QJsonArray{u"Ada"_s, QJsonValue(), u"Grace"_s});
    chunks.replace(0, first);
    QJsonObject second = chunks.at(1).toObject();
    second.insert(u"language"_s, u"de"_s);
    chunks.replace(1, second);
    stored.insert(u"live_chunks"_s, chunks);
    return stored;
}

SessionMetadata sessionWithTwoChunks()
{
    SessionMetadata session = test::startedSession();
    RecordingChunkMetadata first = test::completeChunk();
    RecordingChunkMetadata second = first;
    second.index = 2;
    second.filePath.replace(u"0001"_s, u"0002"_s);
    session.liveChunks = std::vector<RecordingChunkMetadata>{first, second};
    return session;
}

TEST(MetadataWriterMerge, KeepsMembersTheTypeDoesNotKnowAtTheTopAndInChunksMatchedByPath)
{
    const SessionMetadata session = sessionWithTwoChunks();
    const QJsonObject stored = storedWithForeignMembers(session);

    SessionMetadata changed = *SessionMetadata::fromJson(stored);
    changed.interrupted = true;
    std::swap(changed.liveChunks->at(0), changed.liveChunks->at(1)); // entries follow their path, not place
    changed.liveChunks->at(1).transcriptionStatus = u"queued"_s;

    test::TemporaryFolder folder;
    const QString path = folder.file(u"metadata.json"_s);
    MetadataWriter::write(changed, stored, path);
    const QJsonObject written = *JsonDocumentFile::readObject(path);

    EXPECT_EQ(SessionMetadata::fromJson(written), changed);
    EXPECT_EQ(written.value(u"upload_state"_s), (QJsonObject{{u"drive_file_id"_s, u"abc"_s}}))
        << "kept, without its null";
    EXPECT_FALSE(written.contains(u"pending_note"_s));
    const QJsonArray chunks = written.value(u"live_chunks"_s).toArray();
    EXPECT_EQ(chunks.at(0).toObject().value(u"language"_s), u"de"_s);
    EXPECT_FALSE(chunks.at(0).toObject().contains(u"speaker_labels"_s));
    EXPECT_EQ(chunks.at(1).toObject().value(u"speaker_labels"_s), (QJsonArray{u"Ada"_s, u"Grace"_s}));
    EXPECT_EQ(chunks.at(1).toObject().value(u"transcription_status"_s), u"queued"_s);
}

TEST(MetadataWriterMerge, MembersTheTypeKnowsFollowTheTypedDocumentEvenWhenRemoved)
{
    const SessionMetadata session = sessionWithTwoChunks();
    QJsonObject stored = storedWithForeignMembers(session);
    stored.insert(u"interruption_note"_s, u"old note"_s);
    stored.insert(u"wrap_up"_s, QJsonValue()); // a known optional holding null reads as absent

    SessionMetadata changed = *SessionMetadata::fromJson(stored);
    changed.interruptionNote.reset();
    changed.liveChunks->pop_back();
    changed.liveChunks->front().transcriptText.reset();

    const QJsonObject merged = MetadataWriter::mergedWithUnknownMembers(changed, stored);
    EXPECT_FALSE(merged.contains(u"interruption_note"_s)) << "a reset optional stays reset";
    EXPECT_FALSE(merged.contains(u"wrap_up"_s));
    ASSERT_EQ(merged.value(u"live_chunks"_s).toArray().size(), 1) << "a removed entry stays removed";
    EXPECT_FALSE(merged.value(u"live_chunks"_s).toArray().at(0).toObject().contains(u"transcript_text"_s));
    EXPECT_TRUE(merged.contains(u"upload_state"_s));

    // An original that does not decode: whatever the typed document does not produce is kept.
    QJsonObject undecodable = stored;
    undecodable.insert(u"markers"_s, u"not a list"_s);
    const QJsonObject fallback = MetadataWriter::mergedWithUnknownMembers(changed, undecodable);
    EXPECT_EQ(fallback.value(u"markers"_s), QJsonArray{}) << "the typed value wins";
    EXPECT_EQ(fallback.value(u"interruption_note"_s), u"old note"_s);
}

} // namespace
} // namespace ebbcast
