#include "transcription/TranscriptFinalizer.h"

#include "TranscriptSetFixtures.h"
#include "core/base/Logger.h"
#include "core/json/JsonDocumentFile.h"
#include "drive/UploadRules.h"
#include "drive/UploadStateFile.h"
#include "support/LogLines.h"
#include "support/ManualClock.h"
#include "support/ManualRetryTimer.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/TranscriptFinalizationGate.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <sys/time.h>

#include <deque>
#include <functional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::TemporaryFolder;

// Records each file it is asked to send and answers as told: by default every file reaches "Drive".
class FakeUploader final : public SessionFileUploader {
public:
    // Whether the n-th request (counted from 1) for this upload key succeeds.
    std::function<bool(const QString& key, int call)> succeeds = [](const QString&, int) {
        return true;
    };
    QStringList requested;
    UploadState state;

    QCoro::Task<std::optional<UploadState>> uploadFileInSessionNowIfEnabled(QString sessionFolder,
                                                                            QString file) override
    {
        const QString key = uploadKey(sessionFolder, file);
        requested.append(key);
        if (!QFileInfo::exists(file) || !succeeds(key, static_cast<int>(requested.count(key))))
            co_return std::nullopt;
        state.driveFolderID.emplace(u"session-folder"_s);
        state.driveFolders[u"final_transcript"_s] = u"final-folder"_s;
        state.uploadedFiles[key] = {u"id-"_s + QFileInfo(file).fileName(), QDateTime::currentDateTimeUtc()};
        const UploadState copy = state; // GCC 12 would move from a member named in co_return
        co_return copy;
    }

    QString uploadKey(const QString& sessionFolder, const QString& file) const override
    {
        return UploadRules::uploadKey(sessionFolder, file);
    }
};

class FakeAnnouncer final : public TranscriptReadyAnnouncer {
public:
    std::deque<RelayDelivery> answers; // then delivered
    std::vector<SessionTranscriptReadyEvent> events;

    QCoro::Task<RelayDelivery> notifySessionTranscriptReady(SessionTranscriptReadyEvent event) override
    {
        events.push_back(std::move(event));
        RelayDelivery answer = RelayDelivery::delivered;
        if (!answers.empty()) {
            answer = answers.front();
            answers.pop_front();
        }
        co_return answer;
    }
};

class RecordingStatus final : public TranscriptStatusSink {
public:
    struct Shown {
        QString status;
        QString detail;
    };
    std::vector<Shown> shown;
    std::optional<QString> transcriptURL;
    std::optional<std::optional<QString>> driveFolderID;

    void setTranscriptStatus(const QString& status, const QString& detail) override
    {
        shown.push_back({status, detail});
    }
    void setLastTranscriptURL(const QString& file) override { transcriptURL = file; }
    void setLastTranscriptDriveFolderID(const std::optional<QString>& id) override { driveFolderID = id; }

    QString last() const { return shown.empty() ? QString() : shown.back().status; }
    QString lastDetail() const { return shown.empty() ? QString() : shown.back().detail; }
};

class TranscriptFinalizerTest : public ::testing::Test {
protected:
    TranscriptFinalizerTest()
    {
        recordings_ = folder_.file(u"recordings"_s);
        QDir().mkpath(recordings_);
        session_ = test::makeLongSession(recordings_, 2, 40); // four chunks, one of them empty
        writeMetadata(test::longSessionMetadata(2));
        finalizer_ = makeFinalizer();
    }

    std::unique_ptr<TranscriptFinalizer> makeFinalizer()
    {
        return std::make_unique<TranscriptFinalizer>(
            config_,
            TranscriptFinalizer::Collaborators{writer_, uploader_, announcer_, status_, timer_, logger_},
            clock_.wallClock());
    }

    void writeMetadata(const SessionMetadata& session)
    {
        TemporaryFolder::writeAll(session_ + u"/metadata.json"_s, QJsonDocument(session.toJson()).toJson());
    }

    void setChunkStatus(const QString& chunkName, const std::optional<QString>& status)
    {
        const QString path = session_ + u"/chunks/"_s + chunkName + u".json"_s;
        auto chunk = RecordingChunkMetadata::fromJson(*JsonDocumentFile::readObject(path));
        chunk->transcriptionStatus = status;
        TemporaryFolder::writeAll(path, QJsonDocument(chunk->toJson()).toJson());
    }

    void finalize(int attempt = 0)
    {
        test::runTask(finalizer_->finalizeSessionTranscriptIfReady(session_, attempt));
    }

    // Fires the next retry and waits for the run it starts.
    bool fireRetry()
    {
        if (!timer_.fireNext())
            return false;
        test::runTask(finalizer_->waitUntilNotFinalizing());
        return true;
    }

    std::optional<TranscriptFinalizationState> storedState()
    {
        return TranscriptFinalizationStateFile(session_, logger_).read();
    }

    int logLines(const QString& text) { return test::countLogLines(logger_, text); }

    bool transcriptsExist() const
    {
        return QFileInfo::exists(session_ + u"/transcripts/01 Clean Transcript.md"_s);
    }

    TemporaryFolder folder_;
    Logger logger_{folder_.file(u"log/app.log"_s)};
    test::ManualClock clock_;
    QString recordings_;
    QString session_;
    FinalTranscriptWriter writer_{
        {u"recorder-1"_s}, logger_, nullptr, test::testDriveFileLink, clock_.wallClock()};
    FakeUploader uploader_;
    FakeAnnouncer announcer_;
    RecordingStatus status_;
    test::ManualRetryTimer timer_;
    TranscriptFinalizer::Config config_{true, true, {}};
    std::unique_ptr<TranscriptFinalizer> finalizer_;
};

// ---- When a session is ready ---------------------------------------------------------------------------

TEST_F(TranscriptFinalizerTest, ASessionNotReadyOnlyShowsItsProgress)
{
    setChunkStatus(u"microphone_chunk_0001"_s, u"accepted"_s);
    setChunkStatus(u"system_audio_chunk_0001"_s, std::nullopt);
    finalize();
    EXPECT_EQ(status_.last(), u"Processing"_s);
    EXPECT_EQ(status_.lastDetail(), u"Waiting for 2 of 4 canonical chunk artifacts."_s);
    EXPECT_FALSE(transcriptsExist());
    EXPECT_FALSE(storedState());

    // Still recording: nothing at all, even with every chunk complete.
    setChunkStatus(u"microphone_chunk_0001"_s, u"complete"_s);
    setChunkStatus(u"system_audio_chunk_0001"_s, u"complete"_s);
    SessionMetadata recording = test::longSessionMetadata(2);
    recording.endTime.reset();
    writeMetadata(recording);
    status_.shown.clear();
    finalize();
    EXPECT_TRUE(status_.shown.empty());
    EXPECT_FALSE(transcriptsExist());

    // Unreadable metadata is as silent.
    TemporaryFolder::writeAll(session_ + u"/metadata.json"_s, "{ not json");
    finalize();
    EXPECT_TRUE(status_.shown.empty());

    // No chunk documents at all.
    writeMetadata(test::longSessionMetadata(2));
    QDir(session_ + u"/chunks"_s).removeRecursively();
    finalize();
    EXPECT_EQ(status_.last(), u"Unavailable"_s);
    EXPECT_EQ(status_.lastDetail(), u"No transcribed audio chunks were found for 2026-12-12_08-00-00."_s);

    // Transcription off: not even that.
    status_.shown.clear();
    config_.transcriptionEnabled = false;
    finalizer_->setConfig(config_);
    finalize();
    EXPECT_TRUE(status_.shown.empty());
}

TEST_F(TranscriptFinalizerTest, AFailedChunkGivesAnIncompleteSetThatIsNeitherDeliveredNorAnnounced)
{
    setChunkStatus(u"microphone_chunk_0001"_s, u"polling_failed"_s);
    finalize();
    EXPECT_EQ(status_.last(), u"Incomplete"_s);
    EXPECT_EQ(status_.lastDetail(),
              u"Some Gateway/Glossen chunks failed. Local diagnostics are available; Drive "
              "delivery and notification are paused."_s);
    ASSERT_TRUE(storedState());
    EXPECT_EQ(storedState()->status, u"partial"_s);
    EXPECT_EQ(storedState()->sourceChunkCount, 4);
    EXPECT_EQ(storedState()->finalizedAt, test::longSessionMetadata(2).endTime);
    EXPECT_EQ(status_.transcriptURL, session_ + u"/transcripts/01 Clean Transcript.md"_s);
    EXPECT_TRUE(uploader_.requested.isEmpty());
    EXPECT_TRUE(announcer_.events.empty());
    EXPECT_EQ(timer_.pendingCount(), 0u);
}

TEST_F(TranscriptFinalizerTest, WithDriveOffAReadySetIsShownAndKeptLocal)
{
    config_.uploadEnabled = false;
    finalizer_->setConfig(config_);
    finalize();
    EXPECT_EQ(status_.last(), u"Ready"_s);
    EXPECT_EQ(status_.lastDetail(), TranscriptFinalizer::transcriptReadyDetail(4, 1));
    EXPECT_EQ(
        logLines(u"Final transcript artifacts ready: session=2026-12-12_08-00-00 status=ready chunks=4"_s),
        1);
    EXPECT_TRUE(uploader_.requested.isEmpty());
    EXPECT_TRUE(announcer_.events.empty());
    EXPECT_FALSE(storedState()->notificationSentAt);
}

TEST_F(TranscriptFinalizerTest, ReadyDetailCountsEmptyChunksOnlyWhenThereAreAny)
{
    EXPECT_EQ(TranscriptFinalizer::transcriptReadyDetail(7, 2),
              u"Local convenience transcript assembled from 7 canonical chunk artifacts. 2 source chunk(s) "
              "completed with empty transcript text."_s);
    EXPECT_EQ(TranscriptFinalizer::transcriptReadyDetail(7, 0),
              u"Local convenience transcript assembled from 7 canonical chunk artifacts."_s);
}

// ---- Delivery and the one notice ------------------------------------------------------------------------

TEST_F(TranscriptFinalizerTest, AReadySetIsUploadedInOrderAndAnnouncedOnceAcrossRunsAndRestarts)
{
    finalize();
    EXPECT_EQ(uploader_.requested, QStringList(TranscriptFinalizer::finalDocumentKeys().begin(),
                                               TranscriptFinalizer::finalDocumentKeys().end()));
    EXPECT_EQ(status_.last(), u"Ready and uploaded"_s);
    EXPECT_EQ(status_.lastDetail(), u"Final transcript artifacts are in Drive under 04 Final Transcript."_s);
    EXPECT_EQ(status_.driveFolderID, std::optional<QString>(u"final-folder"_s));
    ASSERT_EQ(announcer_.events.size(), 1u);
    const SessionTranscriptReadyEvent& event = announcer_.events.front();
    EXPECT_EQ(event.transcriptFile, session_ + u"/transcripts/01 Clean Transcript.md"_s);
    EXPECT_EQ(event.timelineFile, session_ + u"/transcripts/02 Timeline.json"_s);
    EXPECT_EQ(event.sourceChunkCount, 4);
    EXPECT_EQ(event.emptySourceChunkCount, 1);
    EXPECT_EQ(event.transcriptText.toUtf8(),
              TemporaryFolder::readAll(session_ + u"/transcripts/session_transcript.txt"_s));
    ASSERT_TRUE(event.uploadState);
    EXPECT_EQ(event.uploadState->uploadedFiles.size(), 5u);
    EXPECT_EQ(storedState()->notificationSentAt, clock_.now().toUTC());
    EXPECT_EQ(logLines(u"Final transcript notification recorded: session=2026-12-12_08-00-00"_s), 1);

    // The provenance document names the Drive ids of the four documents sent before it.
    const QByteArray provenance = TemporaryFolder::readAll(session_ + u"/transcripts/04 Provenance.json"_s);
    EXPECT_TRUE(provenance.contains("id-03 Raw Transcript.md")) << provenance.toStdString();

    finalize(); // a later chunk outcome
    finalizer_ = makeFinalizer();
    finalize(); // after a restart
    EXPECT_EQ(announcer_.events.size(), 1u);
    EXPECT_EQ(uploader_.requested.size(), 15);
    EXPECT_EQ(timer_.pendingCount(), 0u);
}

TEST_F(TranscriptFinalizerTest, ADocumentThatDoesNotUploadIsRetriedFourTimesOnTheSchedule)
{
    const QString third = u"transcripts/02 Timeline.json"_s;
    uploader_.succeeds = [&third](const QString& key, int) {
        return key != third;
    };
    finalize();
    EXPECT_EQ(status_.last(), u"Ready (Drive failed)"_s);
    EXPECT_EQ(status_.lastDetail(),
              u"Local transcript is ready, but Drive upload failed. Use Upload Last Session to retry."_s);
    EXPECT_EQ(status_.transcriptURL, session_ + u"/transcripts/01 Clean Transcript.md"_s);
    EXPECT_EQ(uploader_.requested.count(u"transcripts/03 Raw Transcript.md"_s), 0); // the loop stopped

    while (fireRetry()) {
    }
    using std::chrono::seconds;
    EXPECT_EQ(timer_.requestedDelays(),
              (std::vector<std::chrono::milliseconds>{seconds(2), seconds(5), seconds(15), seconds(30)}));
    EXPECT_EQ(timer_.now(), seconds(52));
    EXPECT_EQ(uploader_.requested.count(third), 5); // the first try and four retries
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_EQ(
            logLines(u"Final transcript delivery retry scheduled: session=2026-12-12_08-00-00 attempt="_s +
                     QString::number(attempt) + u" delay_seconds="_s +
                     QString::number(TranscriptFinalizer::retryDelaysSeconds.at(attempt - 1))),
            1);
    }
    EXPECT_EQ(logLines(u"Final transcript delivery retries exhausted: session=2026-12-12_08-00-00"_s), 1);
    EXPECT_TRUE(announcer_.events.empty());
    EXPECT_TRUE(finalizer_->isIdle());

    // Something calling again (a completed session upload) starts a fresh round.
    uploader_.succeeds = [](const QString&, int) {
        return true;
    };
    finalize();
    EXPECT_EQ(status_.last(), u"Ready and uploaded"_s);
    EXPECT_EQ(announcer_.events.size(), 1u);
}

TEST_F(TranscriptFinalizerTest, AProvenanceThatDoesNotUploadHasItsOwnDetailAndIsRetried)
{
    uploader_.succeeds = [](const QString& key, int call) {
        return key != u"transcripts/04 Provenance.json"_s || call > 1;
    };
    finalize();
    EXPECT_EQ(status_.last(), u"Ready (Drive failed)"_s);
    EXPECT_EQ(status_.lastDetail(),
              u"Transcript documents uploaded, but provenance upload failed. Use Upload "
              "Last Session to retry."_s);
    EXPECT_TRUE(announcer_.events.empty());
    ASSERT_TRUE(fireRetry());
    EXPECT_EQ(status_.last(), u"Ready and uploaded"_s);
    EXPECT_EQ(announcer_.events.size(), 1u);
    EXPECT_EQ(timer_.pendingCount(), 0u);
}

TEST_F(TranscriptFinalizerTest, ASuccessfulRunCancelsTheScheduledRetry)
{
    uploader_.succeeds = [](const QString& key, int call) {
        return key != u"transcripts/00 Session Brief.md"_s || call > 1;
    };
    finalize();
    ASSERT_EQ(timer_.pendingCount(), 1u);
    finalize(); // a chunk outcome or a session upload arrives before the retry is due
    EXPECT_EQ(status_.last(), u"Ready and uploaded"_s);
    EXPECT_EQ(timer_.pendingCount(), 0u);
    EXPECT_EQ(timer_.cancelledCount(), 1);
    EXPECT_FALSE(finalizer_->hasPendingRetry(session_));
    EXPECT_TRUE(finalizer_->isIdle());
}

TEST_F(TranscriptFinalizerTest, ARelayRefusalIsRetriedAndAnUnconfiguredRelayIsNot)
{
    announcer_.answers = {RelayDelivery::failed};
    finalize();
    EXPECT_EQ(timer_.pendingCount(), 1u);
    EXPECT_FALSE(storedState()->notificationSentAt);
    ASSERT_TRUE(fireRetry());
    EXPECT_EQ(announcer_.events.size(), 2u);
    EXPECT_TRUE(storedState()->notificationSentAt);
    EXPECT_EQ(uploader_.requested.size(), 10); // the retry repeats the uploads

    // Another session, with no relay configured: no retry and nothing recorded, so a relay configured later
    // still hears of it.
    QDir(session_).removeRecursively();
    session_ = test::makeLongSession(recordings_, 1, 40);
    writeMetadata(test::longSessionMetadata(1));
    announcer_.answers = {RelayDelivery::notConfigured};
    finalize();
    EXPECT_EQ(timer_.pendingCount(), 0u);
    EXPECT_FALSE(storedState()->notificationSentAt);
    EXPECT_EQ(logLines(u"retries exhausted"_s), 0);
    finalize();
    EXPECT_TRUE(storedState()->notificationSentAt);
}

TEST_F(TranscriptFinalizerTest, UploadedFilesMissingFromTheStateMeanNoNotice)
{
    // A state that forgets the raw transcript (another process rewrote it meanwhile).
    uploader_.succeeds = [this](const QString& key, int) {
        if (key == u"transcripts/04 Provenance.json"_s)
            uploader_.state.uploadedFiles.erase(u"transcripts/03 Raw Transcript.md"_s);
        return true;
    };
    finalize();
    EXPECT_EQ(status_.last(), u"Ready and uploaded"_s);
    EXPECT_TRUE(announcer_.events.empty());
    EXPECT_EQ(timer_.pendingCount(), 0u);
}

// ---- One finalization per session ----------------------------------------------------------------------

TEST_F(TranscriptFinalizerTest, CallsDuringARunCollapseIntoOneMoreRun)
{
    const QString ready = u"Final transcript artifacts ready:"_s;
    for (const int calls : {2, 10}) {
        SCOPED_TRACE(calls);
        const int before = logLines(ready);
        for (int call = 0; call < calls; ++call)
            finalizer_->requestFinalization(call % 2 == 0 ? session_ : session_ + u"/./"_s);
        EXPECT_TRUE(finalizer_->isFinalizing());
        test::runTask(finalizer_->waitUntilNotFinalizing());
        EXPECT_EQ(logLines(ready) - before, 2);
    }
    EXPECT_EQ(announcer_.events.size(), 1u);
}

TEST(TranscriptFinalizationGateTest, APendingRunKeepsTheHighestAttemptAndRunsOnce)
{
    TranscriptFinalizationGate gate;
    const QString key = u"/recordings/a"_s;
    EXPECT_TRUE(gate.enter(key, 0));
    EXPECT_FALSE(gate.enter(key, 3));
    EXPECT_FALSE(gate.enter(key, 0));
    EXPECT_TRUE(gate.isPending(key));
    EXPECT_TRUE(gate.enter(u"/recordings/b"_s, 0)); // other sessions are independent
    EXPECT_EQ(gate.leave(key), 3);
    EXPECT_TRUE(gate.isActive(key));
    EXPECT_EQ(gate.leave(key), std::nullopt);
    EXPECT_FALSE(gate.isActive(key));
    EXPECT_EQ(gate.leave(u"/recordings/b"_s), std::nullopt);
    EXPECT_TRUE(gate.isIdle());
}

TEST_F(TranscriptFinalizerTest, ASessionIsKeyedByItsFolderWhateverItsSpelling)
{
    const QString link = folder_.file(u"link"_s);
    ASSERT_TRUE(QFile::link(session_, link));
    uploader_.succeeds = [](const QString& key, int) {
        return key != u"transcripts/00 Session Brief.md"_s;
    };
    finalize();
    test::runTask(finalizer_->finalizeSessionTranscriptIfReady(link, 0));
    EXPECT_EQ(timer_.pendingCount(), 1u); // one pending retry for both spellings
    EXPECT_TRUE(finalizer_->hasPendingRetry(link));
}

// ---- Failures ------------------------------------------------------------------------------------------

TEST_F(TranscriptFinalizerTest, WritingFailuresShowTheErrorAndAreNotRetried)
{
    // The documents cannot be written: "transcripts" is a file.
    TemporaryFolder::writeAll(session_ + u"/transcripts"_s, "not a folder");
    finalize();
    EXPECT_EQ(status_.last(), u"Transcript error"_s);
    EXPECT_FALSE(status_.lastDetail().isEmpty());
    EXPECT_EQ(
        logLines(u"Final transcript generation failed for "_s + session_ + u": "_s + status_.lastDetail()),
        1);
    EXPECT_EQ(timer_.pendingCount(), 0u);
    EXPECT_FALSE(storedState());

    // The state cannot be written: its name is taken by a folder.
    QFile::remove(session_ + u"/transcripts"_s);
    QDir().mkpath(session_ + u"/"_s + TranscriptFinalizationStateFile::fileName + u"/x"_s);
    finalize();
    EXPECT_EQ(status_.last(), u"Transcript error"_s);
    EXPECT_TRUE(uploader_.requested.isEmpty());
    EXPECT_TRUE(announcer_.events.empty());
    EXPECT_EQ(timer_.pendingCount(), 0u);
}

TEST_F(TranscriptFinalizerTest, AnUndecodableStateIsKeptAsideAndReplaced)
{
    const QString statePath = session_ + u"/"_s + TranscriptFinalizationStateFile::fileName;
    TemporaryFolder::writeAll(statePath, "{\"status\": 7}");
    finalize();
    EXPECT_EQ(status_.last(), u"Ready and uploaded"_s);
    ASSERT_TRUE(storedState());
    const QStringList kept = QDir(session_).entryList(
        {TranscriptFinalizationStateFile::fileName + u".corrupt-*"_s}, QDir::Files | QDir::Hidden);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(TemporaryFolder::readAll(session_ + u'/' + kept.front()), QByteArray("{\"status\": 7}"));
    EXPECT_EQ(logLines(u"Unreadable transcript state"_s), 1);
}

TEST_F(TranscriptFinalizerTest, TheStateFileIsSortedPrettyJsonWithoutAbsentDates)
{
    config_.uploadEnabled = false;
    finalizer_->setConfig(config_);
    finalize();
    const QByteArray bytes =
        TemporaryFolder::readAll(session_ + u"/"_s + TranscriptFinalizationStateFile::fileName);
    EXPECT_EQ(bytes.toStdString(),
              "{\n  \"finalized_at\" : \"2026-12-12T07:10:00Z\",\n  \"source_chunk_count\" : 4,\n"
              "  \"status\" : \"ready\"\n}\n");
}

// ---- Restoring the status at start-up -------------------------------------------------------------------

TEST_F(TranscriptFinalizerTest, RestoreShowsTheNewestSessionsStoredStatus)
{
    config_.recordingsFolder = recordings_;
    finalizer_->setConfig(config_);
    finalize(); // ready, all five uploaded
    UploadStateFile(session_, logger_).save(uploader_.state);

    // An older session with only the older transcript name and a partial state.
    const QString older = recordings_ + u"/2026-12-01_08-00-00"_s;
    QDir().mkpath(older + u"/transcripts"_s);
    TemporaryFolder::writeAll(older + u"/transcripts/session_transcript.md"_s, "old");
    TranscriptFinalizationStateFile(older, logger_).save({u"partial"_s, 3, std::nullopt, std::nullopt});
    const auto setAge = [](const QString& path, int days) {
        const time_t when = QDateTime::currentDateTimeUtc().addDays(-days).toSecsSinceEpoch();
        const struct timeval times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimes(QFile::encodeName(path).constData(), times), 0);
    };
    setAge(older, 2);
    setAge(session_, 1);

    status_ = {};
    finalizer_->restoreLatestTranscriptState();
    EXPECT_EQ(status_.last(), u"Ready and uploaded"_s);
    EXPECT_EQ(status_.lastDetail(),
              u"Local convenience transcript assembled from 4 canonical chunk artifacts."_s);
    EXPECT_EQ(status_.transcriptURL, session_ + u"/transcripts/01 Clean Transcript.md"_s);
    EXPECT_EQ(status_.driveFolderID, std::optional<QString>(u"final-folder"_s));

    // Without all five keys it is only "Ready".
    UploadState partial = uploader_.state;
    partial.uploadedFiles.erase(u"transcripts/04 Provenance.json"_s);
    status_ = {};
    finalizer_->restoreTranscriptState(session_, partial);
    EXPECT_EQ(status_.last(), u"Ready"_s);

    // The older session: its older transcript name, "Incomplete".
    setAge(older, 0);
    status_ = {};
    finalizer_->restoreLatestTranscriptState();
    EXPECT_EQ(status_.last(), u"Incomplete"_s);
    EXPECT_EQ(status_.transcriptURL, older + u"/transcripts/session_transcript.md"_s);
    EXPECT_EQ(status_.driveFolderID, std::make_optional(std::optional<QString>()));

    // An unreadable state restores nothing.
    TemporaryFolder::writeAll(older + u"/"_s + TranscriptFinalizationStateFile::fileName, "{");
    status_ = {};
    finalizer_->restoreLatestTranscriptState();
    EXPECT_TRUE(status_.shown.empty());
    EXPECT_FALSE(status_.transcriptURL);
}

} // namespace
} // namespace ebbcast
