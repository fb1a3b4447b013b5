#include "support/PreparedSession.h"

#include "core/documents/SessionFolder.h"
#include "support/MediaProbe.h"
#include "support/TemporaryFolder.h"
#include "transcription/SessionChunks.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

TEST(PreparedSessionTest, ItsDocumentsDecodeAndHoldEveryChunkInReadingOrder)
{
    const TemporaryFolder recordings;
    const QDateTime start(QDate(2024, 5, 1), QTime(10, 0, 0, 250), Qt::UTC);
    const PreparedSession prepared = prepareStoppedSession(recordings.path(), {.microphoneChunks = 3,
                                                                               .systemAudioChunks = 2,
                                                                               .chunkSeconds = 1.5,
                                                                               .fileBytes = 1000,
                                                                               .startTime = start});

    EXPECT_EQ(prepared.folder, recordings.file(SessionFolder::sessionID(start)));
    EXPECT_FALSE(QFileInfo::exists(prepared.folder + u"/.ebbcast_recording_active"_s));
    const std::optional<SessionMetadata> session = SessionMetadata::fromJson(
        QJsonDocument::fromJson(TemporaryFolder::readAll(prepared.folder + u"/metadata.json"_s)).object());
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(*session, prepared.metadata);
    EXPECT_EQ(session->startTime, start.addMSecs(-250)) << "whole seconds";
    ASSERT_TRUE(session->endTime && session->duration);
    EXPECT_GT(*session->endTime, start.addMSecs(4500)) << "after the last chunk";
    EXPECT_EQ(session->files.metadata, prepared.folder + u"/metadata.json"_s);
    EXPECT_EQ(session->systemAudioCapture.status, u"capturing"_s);

    const std::vector<RecordingChunkMetadata> chunks = readSessionChunks(prepared.folder);
    EXPECT_EQ(chunks, prepared.chunks);
    EXPECT_EQ(session->liveChunks, prepared.chunks);
    QStringList names;
    QSet<QByteArray> contents;
    for (const RecordingChunkMetadata& chunk : chunks) {
        names.append(QFileInfo(chunk.filePath).fileName());
        EXPECT_EQ(QFileInfo(chunk.filePath).size(), 1000) << chunk.filePath.toStdString();
        contents.insert(
            QCryptographicHash::hash(TemporaryFolder::readAll(chunk.filePath), QCryptographicHash::Sha256));
        EXPECT_TRUE(chunk.sessionStartTime && chunk.timecodeEnd && chunk.serverStartTime &&
                    chunk.clockRoundTripMilliseconds)
            << "the session's members are filled";
        EXPECT_EQ(chunk.clockSyncStatus, u"synced"_s);
        EXPECT_FALSE(chunk.gatewayJobID || chunk.transcriptionStatus) << "no transcription yet";
    }
    EXPECT_EQ(names,
              QStringList({u"mic_chunk_0001.wav"_s, u"system_chunk_0001.m4a"_s, u"mic_chunk_0002.wav"_s,
                           u"system_chunk_0002.m4a"_s, u"mic_chunk_0003.wav"_s}));
    EXPECT_EQ(contents.size(), 5) << "no two chunk files alike";
    EXPECT_EQ(prepared.chunkPaths.size(), 5);
    for (qsizetype i = 0; i < prepared.chunkPaths.size(); ++i)
        EXPECT_EQ(prepared.chunkPaths[i], chunks[i].filePath);
    EXPECT_EQ(chunks[2].startOffsetSeconds, 1.5);
    EXPECT_EQ(chunks[2].timecodeStart, u"00:00:01.500"_s);
}

TEST(PreparedSessionTest, RealAudioChunksAreWhatTheRecordersWrite)
{
    const TemporaryFolder recordings;
    const PreparedSession prepared = prepareStoppedSession(
        recordings.path(),
        {.microphoneChunks = 1, .systemAudioChunks = 1, .chunkSeconds = 1, .realAudio = true});
    ASSERT_EQ(prepared.chunkPaths.size(), 2);

    const MediaProbe::Stream microphone = MediaProbe::firstAudioStream(prepared.chunkPaths[0]);
    EXPECT_EQ(microphone.codec, u"pcm_f32le"_s);
    EXPECT_EQ(microphone.sampleRate, 48000);
    EXPECT_EQ(microphone.channels, 1);
    EXPECT_NEAR(microphone.duration, 1.0, 0.01);
    EXPECT_GT(MediaProbe::decodeAudio(prepared.chunkPaths[0]).rms, 0.1) << "a tone, not silence";

    const MediaProbe::Stream system = MediaProbe::firstAudioStream(prepared.chunkPaths[1]);
    EXPECT_EQ(system.codec, u"aac"_s);
    EXPECT_EQ(system.sampleRate, 48000);
    EXPECT_EQ(system.channels, 2);
    EXPECT_NEAR(system.duration, 1.0, 0.1);
}

} // namespace
} // namespace ebbcast::test
