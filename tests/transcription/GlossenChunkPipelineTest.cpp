#include "ChunkPipelineFixture.h"
#include "core/base/FileLock.h"
#include "transcription/ChunkTranscriptFile.h"

#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

// The chunk pipeline against the strict fake gateway: every request must pass the fake's wire checks, every
// sleep is recorded instead of waited for.

namespace ebbcast {
namespace {

using test::FakeGlossenGateway;
using test::FakeHttpServer;
using test::PipelineBench;
using test::SessionOnDisk;
using Route = FakeGlossenGateway::Route;
using Fault = FakeHttpServer::Fault;

class GlossenChunkPipelineTest : public ::testing::Test {
protected:
    GlossenChunkPipelineTest()
        : session_(bench_.root.path())
    {}

    QString transcriptPath(const QString& kind, int index) const
    {
        return session_.folder() + u"/transcripts/"_s + kind +
               u"_chunk_%1.txt"_s.arg(index, 4, 10, QLatin1Char('0'));
    }

    PipelineBench bench_;
    SessionOnDisk session_;
};

TEST_F(GlossenChunkPipelineTest, TranscribesAChunkAndRecordsExactlyItsOwnEntries)
{
    const QString microphone = session_.addChunk(u"microphone"_s, 0);
    const QString other = session_.addChunk(u"system_audio"_s, 0);
    session_.writeSession();
    const std::optional<RecordingChunkMetadata> otherBefore = session_.liveChunk(other);

    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(),
                                                MetadataWriter::chunkDocumentPath(microphone));
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), microphone);
    EXPECT_EQ(bench_.pipeline().pendingChunks(session_.folder()), 1);
    ASSERT_TRUE(bench_.settle(session_.folder()));

    // The upload carried the chunk's times and the folder's session id.
    const QList<FakeGlossenGateway::Upload> uploads = bench_.gateway.uploads();
    ASSERT_EQ(uploads.size(), 1);
    EXPECT_EQ(uploads[0].sessionId, u"2026-12-06_09-15-02"_s);
    EXPECT_EQ(uploads[0].metadata.value(u"thread_key"_s).toString(), u"ebbcast:rec-7:2026-12-06_09-15-02"_s);
    EXPECT_EQ(uploads[0].metadata.value(u"local_file_name"_s).toString(), u"microphone_chunk_0000.wav"_s);
    EXPECT_EQ(uploads[0].fileSize, 12);
    EXPECT_TRUE(bench_.server.violations().isEmpty());

    const QString jobID = bench_.gateway.jobIds().value(0);
    for (const std::optional<RecordingChunkMetadata>& stored :
         {session_.chunkDocument(microphone), session_.liveChunk(microphone)}) {
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->transcriptionStatus, u"complete"_s);
        EXPECT_EQ(stored->transcriptText, u"hello from the gateway"_s);
        EXPECT_EQ(stored->gatewayJobID, jobID);
        EXPECT_EQ(stored->ebbcastChunkID, u"chunk-1"_s);
        EXPECT_TRUE(stored->gatewayStatusURL.has_value());
        EXPECT_EQ(stored->transcriptArtifactID, 41);
        EXPECT_EQ(stored->transcriptArtifactType, u"transcript-txt"_s);
        EXPECT_EQ(stored->transcriptArtifactChecksum, u"sha256:abc"_s);
        EXPECT_EQ(stored->transcriptArtifactSizeBytes, 22);
        EXPECT_EQ(stored->glossenJobID, u"glossen-1"_s);
        EXPECT_EQ(stored->transcriptionCompletedAt, QDateTime(QDate(2026, 12, 6), QTime(10, 0, 0), Qt::UTC));
    }
    EXPECT_EQ(session_.liveChunk(other), otherBefore);
    EXPECT_EQ(test::TemporaryFolder::readAll(transcriptPath(u"microphone"_s, 0)), "hello from the gateway");

    // Drive got the transcript file, then the relay its event; the final transcript was asked once, after
    // the event (its own announcement is the session's last).
    ASSERT_EQ(bench_.uploader.files.size(), 1u);
    EXPECT_EQ(bench_.uploader.files[0], transcriptPath(u"microphone"_s, 0));
    ASSERT_EQ(bench_.announcer.events.size(), 1u);
    EXPECT_EQ(bench_.announcer.events[0].gatewayJobID, jobID);
    EXPECT_EQ(bench_.announcer.events[0].transcriptText, u"hello from the gateway"_s);
    EXPECT_EQ(bench_.completion.calls.size(), 1u);
    EXPECT_EQ(bench_.completion.announcedBefore, std::vector<std::size_t>{1});
    EXPECT_EQ(
        bench_.logLines(u"Glossen transcript complete: file=microphone_chunk_0000.wav gateway_job_id="_s +
                        jobID + u" artifact_id=41"_s),
        1);
}

TEST_F(GlossenChunkPipelineTest, TakesOnlyAudioChunksOfTheSessionWhenLiveTranscriptionIsOn)
{
    const QString upperCase = session_.addChunk(u"microphone"_s, 0, "RIFF", u"WAV"_s);
    const QString text = session_.addChunk(u"microphone"_s, 1, "x", u"txt"_s);
    session_.writeSession();
    const QString outside = bench_.root.file(u"loose.wav"_s);
    test::TemporaryFolder::writeAll(outside, "RIFF");
    QDir().mkpath(bench_.root.path() + u"/other/chunks"_s);
    const QString otherSession = bench_.root.path() + u"/other/chunks/microphone_chunk_0000.wav"_s;
    test::TemporaryFolder::writeAll(otherSession, "RIFF");

    bench_.makePipeline([&] {
        auto config = bench_.config();
        config.transcriptionEnabled = false;
        return config;
    }());
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), upperCase);
    bench_.pipeline().resumeSessionTranscription(session_.folder());
    EXPECT_EQ(bench_.pipeline().pendingChunks(session_.folder()), 0);

    bench_.makePipeline(bench_.config());
    for (const QString& file : {text, outside, otherSession, MetadataWriter::chunkDocumentPath(upperCase)})
        bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), file);
    EXPECT_EQ(bench_.pipeline().pendingChunks(session_.folder()), 0);
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), upperCase);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_EQ(bench_.gateway.uploads().size(), 1);
    EXPECT_TRUE(bench_.gateway.exchanges().size() == 4); // upload, job, artifacts, download
}

TEST_F(GlossenChunkPipelineTest, ChunkWithoutItsDocumentIsSkippedWithoutStatus)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 0);
    session_.writeSession();
    QFile::remove(MetadataWriter::chunkDocumentPath(chunk));

    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_TRUE(bench_.gateway.exchanges().isEmpty());
    EXPECT_EQ(bench_.logLines(u"Glossen chunk upload skipped: missing chunk metadata for "_s + chunk), 1);
    EXPECT_FALSE(session_.liveChunk(chunk)->transcriptionStatus.has_value());
    EXPECT_TRUE(bench_.completion.calls.empty());
}

TEST_F(GlossenChunkPipelineTest, UploadAttemptsAndTheirSleeps)
{
    struct Case {
        int failures;
        std::vector<std::chrono::milliseconds> sleeps;
        QString status;
    };
    for (const Case& expected : {Case{3, {1s, 4s, 9s}, u"complete"_s},
                                 Case{4, {1s, 4s, 9s}, u"upload_failed"_s}, Case{1, {1s}, u"complete"_s}}) {
        SCOPED_TRACE(expected.failures);
        PipelineBench bench;
        SessionOnDisk session(bench.root.path());
        const QString chunk = session.addChunk(u"microphone"_s, 0);
        session.writeSession();
        // A different refusal each time: they are all retried alike. (Neither a reset nor a 401 here: Qt
        // sends a request again by itself after either, which the fault table covers.)
        const std::vector<Fault> faults{Fault::withStatus(500),
                                        Fault::withStatus(502, "{\"error\":\"nope\"}"),
                                        Fault::withStatus(413), Fault::withStatus(503)};
        for (int n = 0; n < expected.failures; ++n)
            bench.gateway.addFault({Route::upload, n + 1}, faults[static_cast<size_t>(n)]);

        bench.pipeline().enqueueGlossenChunkUpload(session.folder(), chunk);
        ASSERT_TRUE(bench.settle(session.folder()));
        EXPECT_EQ(bench.sleeps, expected.sleeps);
        EXPECT_EQ(session.chunkDocument(chunk)->transcriptionStatus, expected.status);
        EXPECT_EQ(session.liveChunk(chunk)->transcriptionStatus, expected.status);
        EXPECT_EQ(bench.completion.calls.size(), 1u);
        EXPECT_EQ(bench.logLines(u"Glossen chunk upload failed for microphone_chunk_0000.wav: "_s),
                  expected.failures == 4 ? 1 : 0);
        EXPECT_FALSE(bench.logText().contains(PipelineBench::token));
    }
}

TEST_F(GlossenChunkPipelineTest, JobStatesAndArtifacts)
{
    using Artifact = FakeGlossenGateway::Artifact;
    const Artifact other{.id = 7, .type = u"summary-json"_s, .content = "{}"};
    const Artifact first{.id = 8, .type = u"transcript-txt"_s, .content = "first"};
    const Artifact second{.id = 9, .type = u"transcript-txt"_s, .content = "second"};
    struct Case {
        QString name;
        QStringList states;
        QList<Artifact> artifacts;
        QString status;
        std::optional<QString> text;
        int polls;
        QString logged;
    };
    const QString timedOut = u"did not complete before polling timed out"_s;
    const std::vector<Case> cases{
        {u"complete at once"_s,
         {u"COMPLETE"_s},
         {other, first, second},
         u"complete"_s,
         u"first"_s,
         1,
         u"artifact_id=8"_s},
        {u"running, then complete"_s,
         {u"QUEUED"_s, u"RUNNING"_s, u"COMPLETE"_s},
         {first},
         u"complete"_s,
         u"first"_s,
         3,
         u"artifact_id=8"_s},
        {u"lower case keeps running"_s,
         {u"complete"_s},
         {first},
         u"polling_failed"_s,
         std::nullopt,
         60,
         timedOut},
        {u"cancelled"_s,
         {u"RUNNING"_s, u"CANCELLED"_s},
         {first},
         u"polling_failed"_s,
         std::nullopt,
         2,
         u"Glossen Gateway request failed: gateway job job-1 ended in CANCELLED"_s},
        {u"permanent failure"_s,
         {u"PERMANENT_FAILURE"_s},
         {first},
         u"polling_failed"_s,
         std::nullopt,
         1,
         u"ended in PERMANENT_FAILURE"_s},
        {u"no transcript"_s,
         {u"COMPLETE"_s},
         {other},
         u"complete_missing_transcript"_s,
         std::nullopt,
         1,
         u"Glossen transcript artifact missing: gateway_job_id=job-1"_s},
        {u"white space only"_s,
         {u"COMPLETE"_s},
         {Artifact{.id = 3, .type = u"transcript-txt"_s, .content = " \n\t\r\n "}},
         u"complete_empty"_s,
         u""_s,
         1,
         u"Glossen transcript complete_empty"_s},
        {u"an invalid byte"_s,
         {u"COMPLETE"_s},
         {Artifact{.id = 4, .type = u"transcript-txt"_s, .content = "caf\xff ok\n"}},
         u"complete"_s,
         u"caf\uFFFD ok"_s,
         1,
         u"not valid UTF-8"_s},
    };
    for (const Case& expected : cases) {
        SCOPED_TRACE(expected.name.toStdString());
        PipelineBench bench;
        SessionOnDisk session(bench.root.path());
        const QString chunk = session.addChunk(u"microphone"_s, 0);
        session.writeSession();
        FakeGlossenGateway::JobScript script;
        script.states = expected.states;
        script.artifacts = expected.artifacts;
        bench.gateway.setDefaultScript(script);

        bench.pipeline().enqueueGlossenChunkUpload(session.folder(), chunk);
        ASSERT_TRUE(bench.settle(session.folder()));
        EXPECT_EQ(bench.gateway.polls(u"job-1"_s), expected.polls);
        EXPECT_EQ(bench.sleeps,
                  std::vector<std::chrono::milliseconds>(static_cast<size_t>(expected.polls - 1), 5s));
        const auto stored = session.chunkDocument(chunk);
        EXPECT_EQ(stored->transcriptionStatus, expected.status);
        EXPECT_EQ(stored->transcriptText, expected.text);
        EXPECT_EQ(session.liveChunk(chunk)->transcriptionStatus, expected.status);
        EXPECT_EQ(bench.logLines(expected.logged), 1) << bench.logText().toStdString();
        // Only a transcript with text gets a file and a delivery.
        const bool written = expected.text && !expected.text->isEmpty();
        EXPECT_EQ(QFileInfo::exists(session.folder() + u"/transcripts/microphone_chunk_0000.txt"_s), written);
        EXPECT_EQ(bench.announcer.events.size(), written ? 1u : 0u);
        EXPECT_EQ(bench.completion.calls.size(), 1u);
    }
}

TEST_F(GlossenChunkPipelineTest, DeliveryNeedsDriveAndAJobID)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 0);
    session_.writeSession();
    bench_.uploader.fails = true;
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_EQ(bench_.logLines(u"Corvane Pelko chunk transcript delivery paused because Drive upload failed: "
                              "microphone_chunk_0000.wav"_s),
              1);
    EXPECT_TRUE(bench_.announcer.events.empty());

    // Uploads off: the file is written, nothing is delivered.
    PipelineBench bench;
    SessionOnDisk session(bench.root.path());
    const QString second = session.addChunk(u"microphone"_s, 1);
    session.writeSession();
    auto config = bench.config();
    config.uploadEnabled = false;
    bench.makePipeline(config);
    bench.pipeline().enqueueGlossenChunkUpload(session.folder(), second);
    ASSERT_TRUE(bench.settle(session.folder()));
    EXPECT_TRUE(QFileInfo::exists(session.folder() + u"/transcripts/microphone_chunk_0001.txt"_s));
    EXPECT_TRUE(bench.uploader.files.empty());
    EXPECT_TRUE(bench.announcer.events.empty());
}

TEST_F(GlossenChunkPipelineTest, ReportsFromAnotherThreadAndTwiceGiveOneUpload)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 0);
    session_.writeSession();
    // Reports from a capture thread, twice, while the first is in flight.
    std::thread reporter([this, chunk] {
        bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
        bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    });
    reporter.join();
    ASSERT_TRUE(bench_.settle(session_.folder()));
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    // The third report came after the first ended: the chunk goes again, as a repeated report of the recorder
    // would; in flight it is never sent twice.
    EXPECT_EQ(bench_.gateway.uploads().size(), 2);
    EXPECT_EQ(bench_.logLines(u"Glossen chunk already in flight: file=microphone_chunk_0000.wav"_s), 1);
}

TEST_F(GlossenChunkPipelineTest, AtMostTwoUploadsAtOnceInReportOrder)
{
    std::vector<QString> chunks;
    for (int index = 0; index < 5; ++index)
        chunks.push_back(session_.addChunk(u"microphone"_s, index));
    session_.writeSession();
    // Every upload hangs until released: the third waits for a slot.
    bench_.gateway.addFault({Route::upload, 1, true}, Fault::hang());
    for (const QString& chunk : chunks)
        bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    ASSERT_TRUE(PipelineBench::waitUntil([this] { return bench_.calls.uploads.size() == 2; }));
    PipelineBench::spin(300);
    EXPECT_EQ(bench_.calls.uploads.size(), 2u) << "the third waits for a slot";
    bench_.gateway.clearFaults();
    bench_.server.releaseHangs();
    ASSERT_TRUE(bench_.settle(session_.folder()));
    // Asked for in report order, never more than two at once.
    EXPECT_EQ(bench_.calls.uploads,
              (std::vector<QString>{u"microphone_chunk_0000.wav"_s, u"microphone_chunk_0001.wav"_s,
                                    u"microphone_chunk_0002.wav"_s, u"microphone_chunk_0003.wav"_s,
                                    u"microphone_chunk_0004.wav"_s}));
    EXPECT_EQ(bench_.calls.mostAtOnce, 2);
    EXPECT_EQ(bench_.gateway.uploads().size(), 5);
}

TEST_F(GlossenChunkPipelineTest, DestroyedMidTaskEndsQuietly)
{
    for (const Route route : {Route::upload, Route::job, Route::download}) {
        SCOPED_TRACE(FakeGlossenGateway::routeName(route).toStdString());
        PipelineBench bench;
        SessionOnDisk session(bench.root.path());
        std::vector<QString> chunks;
        for (int index = 0; index < 3; ++index)
            chunks.push_back(session.addChunk(u"microphone"_s, index));
        session.writeSession();
        bench.gateway.addFault({route, 1, true}, Fault::hang());
        for (const QString& chunk : chunks)
            bench.pipeline().enqueueGlossenChunkUpload(session.folder(), chunk);
        PipelineBench::spin(300);
        bench.destroyPipeline(); // tasks in a request, and one waiting for an upload slot
        bench.gateway.clearFaults();
        bench.server.releaseHangs();
        PipelineBench::spin(500);
        EXPECT_EQ(bench.logLines(u"Glossen chunk task failed"_s), 0);
        EXPECT_TRUE(bench.completion.calls.empty());
    }
}

TEST_F(GlossenChunkPipelineTest, SessionHeldByAnotherProcessIsLeftAlone)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 0);
    session_.writeSession();
    {
        const auto other = FileLock::tryAcquire(
            session_.folder() + u"/"_s + GlossenChunkPipeline::transcriptionLockFileName(), true);
        ASSERT_EQ(other.attempt, FileLock::Attempt::acquired);
        bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
        EXPECT_EQ(bench_.pipeline().resumeSessionTranscription(session_.folder()),
                  GlossenChunkPipeline::Resume::heldElsewhere);
        EXPECT_FALSE(bench_.pipeline().claimSession(session_.folder()).has_value());
        EXPECT_EQ(bench_.logLines(u"another process is working on"_s), 3);
    }
    // While this pipeline works on it, the lock is held; once done, it is free again.
    bench_.gateway.addFault({Route::job, 1}, Fault::hang());
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    PipelineBench::spin(300);
    const QString lock = session_.folder() + u"/"_s + GlossenChunkPipeline::transcriptionLockFileName();
    EXPECT_EQ(FileLock::tryAcquire(lock, true).attempt, FileLock::Attempt::heldElsewhere);
    bench_.server.releaseHangs();
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_EQ(FileLock::tryAcquire(lock, true).attempt, FileLock::Attempt::acquired);
}

// --- Restart -------------------------------------------------------------------------------------------

class ChunkPipelineResumeTest : public GlossenChunkPipelineTest {};

TEST_F(ChunkPipelineResumeTest, StatusAudioAndDeliveryTable)
{
    struct Row {
        QString name;
        std::optional<QString> status;
        bool audio;
        bool delivered; // transcript file, Drive and relay done (complete only)
        QString after;
        int uploads;
        int polls;
        bool redelivered;
    };
    const std::vector<Row> rows{
        {u"never submitted, audio"_s, std::nullopt, true, false, u"complete"_s, 1, 1, false},
        {u"never submitted, no audio"_s, std::nullopt, false, false, u"upload_failed"_s, 0, 0, false},
        {u"upload failed, audio"_s, u"upload_failed"_s, true, false, u"complete"_s, 1, 1, false},
        {u"upload failed, no audio"_s, u"upload_failed"_s, false, false, u"upload_failed"_s, 0, 0, false},
        {u"accepted, audio"_s, u"accepted"_s, true, false, u"complete"_s, 0, 1, false},
        {u"accepted, no audio"_s, u"accepted"_s, false, false, u"complete"_s, 0, 1, false},
        {u"polling failed"_s, u"polling_failed"_s, true, false, u"complete"_s, 0, 1, false},
        {u"complete, delivered"_s, u"complete"_s, true, true, u"complete"_s, 0, 0, false},
        {u"complete, not delivered"_s, u"complete"_s, false, false, u"complete"_s, 0, 0, true},
        {u"complete empty"_s, u"complete_empty"_s, true, false, u"complete_empty"_s, 0, 0, false},
        {u"missing transcript"_s, u"complete_missing_transcript"_s, true, false,
         u"complete_missing_transcript"_s, 0, 0, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name.toStdString());
        PipelineBench bench;
        bench.gateway.setDefaultScript(PipelineBench::transcriptJob("fresh text"));
        SessionOnDisk session(bench.root.path());
        const QString chunk = session.addChunk(u"microphone"_s, 3);
        session.writeSession();
        // For polls: a job the fake knows.
        if (row.status == u"accepted" || row.status == u"polling_failed") {
            bench.pipeline().enqueueGlossenChunkUpload(session.folder(), chunk);
            ASSERT_TRUE(bench.settle(session.folder()));
        }
        const QString jobID = bench.gateway.jobIds().value(0, u"job-x"_s);
        const auto exchangesBefore = bench.gateway.exchanges().size();
        const auto uploadsBefore = bench.gateway.uploads().size();
        const int pollsBefore = bench.gateway.polls(jobID);
        session.changeChunk(chunk, [&](RecordingChunkMetadata& stored) {
            stored.transcriptionStatus = row.status;
            stored.gatewayJobID = row.status ? std::optional(jobID) : std::nullopt;
            stored.transcriptText =
                row.status == u"complete" ? std::optional(u"stored text"_s) : std::nullopt;
        });
        const QString transcript = session.folder() + u"/transcripts/microphone_chunk_0003.txt"_s;
        QFile::remove(transcript);
        if (row.delivered) {
            test::TemporaryFolder::writeAll(transcript, "stored text");
            bench.uploader.uploaded.insert(transcript);
            bench.announcer.recorded.insert(u"microphone3"_s);
        }
        if (!row.audio)
            QFile::remove(chunk);
        bench.uploader.files.clear();
        bench.announcer.events.clear();
        bench.completion.calls.clear();

        bench.makePipeline(bench.config());
        EXPECT_EQ(bench.pipeline().resumeSessionTranscription(session.folder()),
                  GlossenChunkPipeline::Resume::started);
        ASSERT_TRUE(bench.settle(session.folder()));

        EXPECT_EQ(session.chunkDocument(chunk)->transcriptionStatus, row.after);
        EXPECT_EQ(session.liveChunk(chunk)->transcriptionStatus, row.after);
        EXPECT_EQ(bench.gateway.uploads().size() - uploadsBefore, row.uploads);
        if (row.uploads == 0) {
            EXPECT_EQ(bench.gateway.polls(jobID) - pollsBefore, row.polls);
        }
        if (row.redelivered) {
            // From the stored text, without a request.
            EXPECT_EQ(bench.gateway.exchanges().size(), exchangesBefore);
            EXPECT_EQ(test::TemporaryFolder::readAll(transcript), "stored text");
            ASSERT_EQ(bench.announcer.events.size(), 1u);
            EXPECT_EQ(bench.announcer.events[0].transcriptText, u"stored text"_s);
        }
        if (row.delivered || row.status == u"complete_empty" ||
            row.status == u"complete_missing_transcript") {
            EXPECT_EQ(bench.gateway.exchanges().size(), exchangesBefore);
            EXPECT_TRUE(bench.announcer.events.empty());
        }
        if (row.name == u"never submitted, no audio") {
            EXPECT_EQ(
                bench.logLines(
                    u"Glossen chunk upload failed for microphone_chunk_0003.wav: the audio file is missing"_s),
                1);
        }
        EXPECT_GE(bench.completion.calls.size(), 1u);
    }
}

TEST_F(ChunkPipelineResumeTest, HostileFilePathsNeverNameAFileToSend)
{
    const QString secret = bench_.root.file(u"secret.wav"_s);
    test::TemporaryFolder::writeAll(secret, "private user file");
    const QString elsewhere = session_.addChunk(u"microphone"_s, 0);
    const QString dotted = session_.addChunk(u"microphone"_s, 1);
    const QString linked = session_.addChunk(u"microphone"_s, 2);
    session_.writeSession();
    // The documents name files outside the session; the link in "chunks" points out of it.
    session_.changeChunk(elsewhere, [&](RecordingChunkMetadata& chunk) { chunk.filePath = secret; });
    session_.changeChunk(dotted, [&](RecordingChunkMetadata& chunk) {
        chunk.filePath = session_.folder() + u"/chunks/../../secret.wav"_s;
    });
    QFile::remove(linked);
    ASSERT_TRUE(QFile::link(secret, linked));

    EXPECT_EQ(bench_.pipeline().resumeSessionTranscription(session_.folder()),
              GlossenChunkPipeline::Resume::started);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_TRUE(bench_.gateway.uploads().isEmpty());
    // The link itself reported live is refused too.
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), linked);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_TRUE(bench_.gateway.uploads().isEmpty());
}

TEST_F(ChunkPipelineResumeTest, LatestSessionOnlyWhenEnded)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 0);
    session_.writeSession(false);
    bench_.pipeline().resumeLatestSessionTranscription();
    EXPECT_EQ(bench_.pipeline().pendingChunks(session_.folder()), 0);
    EXPECT_EQ(bench_.logLines(u"has no end time"_s), 1);

    session_.writeSession(true);
    bench_.pipeline().resumeLatestSessionTranscription();
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_EQ(session_.chunkDocument(chunk)->transcriptionStatus, u"complete"_s);

    // Nothing left to do: one finalization check.
    bench_.completion.calls.clear();
    bench_.pipeline().resumeLatestSessionTranscription();
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_EQ(bench_.completion.calls.size(), 1u);
    EXPECT_EQ(bench_.gateway.uploads().size(), 1);
}

TEST_F(ChunkPipelineResumeTest, PersistFailureIsLogged)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 0);
    session_.writeSession();
    // "metadata.json" replaced by a folder: the session document cannot be rewritten.
    QFile::remove(session_.folder() + u"/metadata.json"_s);
    QDir().mkpath(session_.folder() + u"/metadata.json"_s);
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_GE(bench_.logLines(u"Failed to record Glossen outcome for microphone_chunk_0000.wav: "_s), 1);
    EXPECT_EQ(session_.chunkDocument(chunk)->transcriptionStatus, u"complete"_s);
}

} // namespace
} // namespace ebbcast

namespace ebbcast {
namespace {

TEST_F(ChunkPipelineResumeTest, AStaleSessionEntryIsBroughtInLineWithTheChunkDocument)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 0);
    session_.writeSession();
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    const std::optional<RecordingChunkMetadata> done = session_.chunkDocument(chunk);
    ASSERT_EQ(done->transcriptionStatus, u"complete"_s);
    // The session's entry fell behind (its rewrite failed, or the process died between the two writes).
    std::optional<SessionMetadata> stored = session_.session();
    for (RecordingChunkMetadata& entry : *stored->liveChunks) {
        entry.transcriptionStatus = u"accepted"_s;
        entry.transcriptText.reset();
    }
    MetadataWriter::write(*stored, session_.folder() + u"/metadata.json"_s);
    const auto requests = bench_.gateway.exchanges().size();

    bench_.makePipeline(bench_.config());
    bench_.pipeline().resumeSessionTranscription(session_.folder());
    ASSERT_TRUE(bench_.settle(session_.folder()));
    EXPECT_EQ(session_.liveChunk(chunk), session_.chunkDocument(chunk));
    EXPECT_EQ(bench_.gateway.exchanges().size(), requests) << "from the document, without a request";
}

} // namespace
} // namespace ebbcast

namespace ebbcast {
namespace {

TEST_F(GlossenChunkPipelineTest, AChunkWithoutSessionTimesIsSentWithTimesFromTheSessionStart)
{
    const QString chunk = session_.addChunk(u"microphone"_s, 3);
    session_.writeSession();
    session_.changeChunk(chunk, [](RecordingChunkMetadata& stored) {
        stored.sessionStartTime.reset();
        stored.startOffsetSeconds.reset();
        stored.timecodeStart.reset();
    });
    bench_.pipeline().enqueueGlossenChunkUpload(session_.folder(), chunk);
    ASSERT_TRUE(bench_.settle(session_.folder()));
    ASSERT_EQ(bench_.gateway.uploads().size(), 1);
    const QJsonObject sent = bench_.gateway.uploads()[0].metadata;
    EXPECT_EQ(sent.value(u"chunk_start_offset_seconds"_s).toDouble(), 6.0);
    EXPECT_EQ(sent.value(u"chunk_end_offset_seconds"_s).toDouble(), 8.0);
    EXPECT_EQ(sent.value(u"chunk_timecode_start"_s).toString(), u"00:00:06.000"_s);
    EXPECT_EQ(sent.value(u"session_start_time"_s).toString(), u"2026-12-06T09:15:02Z"_s);
    // Only for the upload: the document keeps what it had.
    EXPECT_FALSE(session_.chunkDocument(chunk)->startOffsetSeconds.has_value());
}

} // namespace
} // namespace ebbcast
