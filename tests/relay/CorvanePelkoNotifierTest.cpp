#include "relay/CorvanePelkoNotifier.h"

#include "core/base/Logger.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "relay/CorvaneRelayStateFile.h"
#include "support/FakeRelayServer.h"
#include "support/LogLines.h"
#include "support/ReadOnlyRemount.h"
#include "support/RunTask.h"
#include "support/SmallDisk.h"
#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

using test::FakeHttpServer;
using test::FakeRelayServer;
using Fault = FakeHttpServer::Fault;

const QString token = u"tok-SECRET-4711"_s;
const QString sessionName = u"2026-01-05_10-00-00"_s;
const QString threadKey = u"ebbcast:velno:"_s + sessionName;
const QString transcribed = QString::fromLatin1(RelayEvent::chunkTranscribed);

class NotifierTest : public ::testing::Test {
protected:
    NotifierTest()
    {
        server_.setModel(relay_);
        EXPECT_TRUE(QDir().mkpath(folder_));
    }

    CorvanePelkoNotifier& notifier()
    {
        if (!notifier_) {
            notifier_ = std::make_unique<CorvanePelkoNotifier>(
                CorvanePelkoNotifier::Config{.endpoint = server_.url(u"/corvane/api/v1/pelko/notify"_s),
                                             .recorderID = u"velno"_s,
                                             .recorderName = u"Desk"_s,
                                             .pelkoUserID = {}},
                logger_, network_, DriveWebLinks(QUrl(u"https://drive.example"_s)), [this] { return token_; },
                CorvanePelkoNotifier::Timing{.exchangeDeadline = deadline_, .clock = systemTime});
        }
        return *notifier_;
    }

    ChunkTranscribedEvent chunkEvent(const QString& kind, qint64 index)
    {
        ChunkTranscribedEvent event;
        event.folder = folder_;
        event.file = folder_ + u"/chunks/"_s + kind + u"_%1.wav"_s.arg(index);
        event.chunk.index = index;
        event.chunk.kind = kind;
        event.chunk.startTime = QDateTime::fromSecsSinceEpoch(1'767'607'200 + index * 300, Qt::UTC);
        event.chunk.endTime = event.chunk.startTime.addSecs(300);
        event.chunk.duration = 300;
        event.transcriptText = u"hello "_s + kind;
        event.gatewayJobID = u"job-%1"_s.arg(index);
        return event;
    }

    RelayDelivery transcribe(const QString& kind, qint64 index)
    {
        return test::runTask(notifier().notifyRecordingChunkTranscribed(chunkEvent(kind, index)));
    }

    CorvaneRelayState state() { return CorvaneRelayStateFile(folder_, logger_).load(sessionName, threadKey); }
    int lines(const QString& text) { return test::countLogLines(logger_, text); }
    QString key(const QString& kind, qint64 index) const
    {
        return RelayWording::eventKey(threadKey, transcribed, ChunkRef{kind, index});
    }

    test::TemporaryFolder root_;
    QString folder_ = root_.file(sessionName);
    Logger logger_{root_.file(u"logs/ebbcast.log"_s)};
    QNetworkAccessManager network_;
    FakeRelayServer relay_{token};
    FakeHttpServer server_;
    QString token_ = token;
    std::unique_ptr<CorvanePelkoNotifier> notifier_;
    // Long enough for any answer on a loaded machine; a test of a hanging relay shortens it.
    std::chrono::milliseconds deadline_ = 10s;
};

TEST_F(NotifierTest, AFailingParentIsTriedFourTimesThenTheSessionIsBlocked)
{
    server_.addFault(FakeHttpServer::FaultRule{.method = "POST", .sticky = true},
                     Fault::withStatus(500, "down"));
    EXPECT_EQ(test::runTask(notifier().notifyRecordingSessionStarted(folder_)), RelayDelivery::failed);
    EXPECT_EQ(state().parentCreationAttempts, 1);
    EXPECT_EQ(state().parentCreationStatus, u"failed"_s);
    EXPECT_EQ(state().blockedReason, u"parent_request_failed"_s);
    for (int index = 1; index <= 3; ++index)
        EXPECT_EQ(transcribe(u"microphone"_s, index), RelayDelivery::failed);
    EXPECT_EQ(state().parentCreationAttempts, 4);
    EXPECT_EQ(server_.requests().size(), 4);

    EXPECT_EQ(transcribe(u"microphone"_s, 9), RelayDelivery::failed);
    EXPECT_EQ(server_.requests().size(), 4) << "no fifth parent request";
    EXPECT_EQ(lines(u"Corvane Pelko parent creation blocked: session="_s + folder_ +
                    u" status=failed attempts=4"_s),
              1);
    EXPECT_FALSE(notifier().isRelayEventRecorded(folder_, transcribed, ChunkRef{u"microphone"_s, 9}))
        << "a session blocked for good queues nothing";
    EXPECT_EQ(
        lines(u"Corvane Pelko session relay blocked after parent request failure: session="_s + folder_), 4);
}

TEST_F(NotifierTest, AParentWithoutAThreadBlocksEveryReply)
{
    relay_.setParentAnswer(QByteArray("{}"));
    EXPECT_EQ(test::runTask(notifier().notifyRecordingSessionStarted(folder_)), RelayDelivery::failed);
    EXPECT_EQ(state().parentCreationStatus, u"missing_thread"_s);
    EXPECT_EQ(transcribe(u"microphone"_s, 1), RelayDelivery::failed);
    EXPECT_EQ(lines(u"Corvane Pelko reply blocked: event="_s + transcribed + u" session="_s + folder_ +
                    u" parent_status=missing_thread"_s),
              1);
    EXPECT_EQ(server_.requests().size(), 1);
}

TEST_F(NotifierTest, ASessionFolderThatCannotBeWrittenSendsNothing)
{
    test::SmallDisk disk(root_.file(u"disk"_s), 512);
    if (!disk.isMounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    folder_ = disk.file(sessionName);
    ASSERT_TRUE(QDir().mkpath(folder_));
    ASSERT_TRUE(test::remountReadOnly(root_.file(u"disk"_s)));

    EXPECT_EQ(test::runTask(notifier().notifyRecordingSessionStarted(folder_)), RelayDelivery::failed);
    EXPECT_EQ(transcribe(u"microphone"_s, 1), RelayDelivery::failed);
    EXPECT_TRUE(server_.requests().isEmpty()) << "no parent without a place to record its thread";
    EXPECT_FALSE(QFile::exists(folder_ + u"/.ebbcast_corvane_state.json"_s));
    EXPECT_EQ(lines(u"Corvane Pelko session state initialization failed: "_s), 1);
    EXPECT_EQ(lines(token), 0);
}

TEST_F(NotifierTest, AnEventIsPostedOnceAndAFailedOneIsResentByteForByteFirst)
{
    deadline_ = 2s; // for the hanging relay; an answer on a loaded machine still comes well within it
    EXPECT_EQ(test::runTask(notifier().notifyRecordingSessionStarted(folder_)), RelayDelivery::delivered);
    EXPECT_EQ(transcribe(u"microphone"_s, 1), RelayDelivery::delivered);
    EXPECT_EQ(transcribe(u"microphone"_s, 1), RelayDelivery::delivered);
    EXPECT_EQ(
        lines(u"Corvane Pelko delivery already recorded: event="_s + transcribed + u" session="_s + folder_),
        1);
    EXPECT_EQ(server_.requests().size(), 2);

    struct Case {
        const char* name;
        Fault fault;
    };
    const QList<Case> cases = {
        {"503", Fault::withStatus(503)},
        {"hang", Fault::hang()},
        {"reset", Fault::resetBeforeAnswer()},
        {"lost reply", Fault::resetBeforeAnswer().afterHandler()},
    };
    qint64 index = 10;
    for (const Case& c : cases) {
        ++index;
        server_.clearFaults();
        server_.addFault(FakeHttpServer::FaultRule{.method = "POST", .sticky = true}, c.fault);
        EXPECT_EQ(transcribe(u"system_audio"_s, index), RelayDelivery::failed) << c.name;
        EXPECT_TRUE(
            notifier().isRelayEventRecorded(folder_, transcribed, ChunkRef{u"system_audio"_s, index}));
        ASSERT_EQ(state().pendingEvents.size(), 1u) << c.name;
        const QByteArray failedBody = server_.requests().last().body;
        server_.clearFaults();
        server_.releaseHangs();
        const qsizetype before = server_.requests().size();

        EXPECT_EQ(transcribe(u"microphone"_s, index), RelayDelivery::delivered) << c.name;
        ASSERT_EQ(server_.requests().size(), before + 2) << c.name;
        EXPECT_EQ(server_.requests()[before].body, failedBody) << c.name << ": the same key and body, first";
        EXPECT_TRUE(state().pendingEvents.empty()) << c.name;
        EXPECT_EQ(relay_.messagesWithKey(key(u"system_audio"_s, index)), 1) << c.name;
    }
    EXPECT_TRUE(relay_.violations().isEmpty()) << relay_.violations().join(u"; "_s).toStdString();
    EXPECT_EQ(relay_.threads().size(), 1);
}

TEST_F(NotifierTest, WithoutATokenNothingIsSentAndOnlyTheSessionStartWritesState)
{
    token_.clear();
    EXPECT_EQ(transcribe(u"microphone"_s, 1), RelayDelivery::notConfigured);
    EXPECT_FALSE(QFile::exists(QDir(folder_).filePath(QString(CorvaneRelayStateFile::fileName))));
    EXPECT_EQ(test::runTask(notifier().notifyRecordingSessionStarted(folder_)), RelayDelivery::notConfigured);
    EXPECT_TRUE(QFile::exists(QDir(folder_).filePath(QString(CorvaneRelayStateFile::fileName))));
    EXPECT_TRUE(server_.requests().isEmpty());
    EXPECT_EQ(lines(u"Corvane Pelko delivery skipped: CORVANE_PELKO_RELAY_TOKEN is not set"_s), 2);

    token_ = token;
    EXPECT_EQ(transcribe(u"microphone"_s, 1), RelayDelivery::delivered);
    const QString log = QString::fromUtf8(test::TemporaryFolder::readAll(logger_.logFilePath()));
    const QString stored = QString::fromUtf8(
        test::TemporaryFolder::readAll(QDir(folder_).filePath(QString(CorvaneRelayStateFile::fileName))));
    EXPECT_FALSE(log.contains(token));
    EXPECT_FALSE(stored.contains(token));
}

TEST_F(NotifierTest, ManyEventsAtOnceShareOneParentAndPostEachKeyOnce)
{
    std::vector<QCoro::Task<RelayDelivery>> running;
    for (int index = 0; index < 25; ++index) {
        running.push_back(notifier().notifyRecordingChunkTranscribed(chunkEvent(u"microphone"_s, index)));
        running.push_back(notifier().notifyRecordingChunkTranscribed(chunkEvent(u"system_audio"_s, index)));
    }
    int delivered = 0;
    for (auto& task : running)
        delivered += test::runTask(std::move(task)) == RelayDelivery::delivered ? 1 : 0;
    EXPECT_EQ(delivered, 50);
    ASSERT_EQ(relay_.threads().size(), 1);
    EXPECT_EQ(relay_.threads().front().messages.size(), 51);
    for (int index = 0; index < 25; ++index) {
        EXPECT_EQ(relay_.messagesWithKey(key(u"microphone"_s, index)), 1);
        EXPECT_EQ(relay_.messagesWithKey(key(u"system_audio"_s, index)), 1);
    }
    EXPECT_EQ(state().postedEventIdempotencyKeys.size(), 51);
    EXPECT_TRUE(relay_.violations().isEmpty()) << relay_.violations().join(u"; "_s).toStdString();
}

TEST_F(NotifierTest, TheFinalEventCarriesItsLinksCollectionAndCountsAndNeedsAnUploadedTranscript)
{
    SessionMetadata metadata;
    metadata.sessionID = sessionName;
    metadata.startTime = QDateTime::fromSecsSinceEpoch(1'767'607'200, Qt::UTC);
    RecordingChunkMetadata first = chunkEvent(u"microphone"_s, 0).chunk;
    RecordingChunkMetadata second = chunkEvent(u"microphone"_s, 1).chunk;
    first.collectionID = u""_s;
    second.collectionID = u"col-9"_s;
    metadata.liveChunks = std::vector<RecordingChunkMetadata>{first, second};
    JsonDocumentFile::write(QDir(folder_).filePath(u"metadata.json"_s), metadata.toJson());

    UploadState uploads;
    uploads.driveFolderID = u"root-1"_s;
    uploads.driveFolders[u"final_transcript"_s] = u"F/1"_s;
    uploads.uploadedFiles[u"final_transcript/clean.md"_s] = UploadedFileState{u"ab/c"_s, metadata.startTime};
    uploads.uploadedFiles[u"timeline.json"_s] = UploadedFileState{u"tl"_s, metadata.startTime};

    SessionTranscriptReadyEvent event;
    event.folder = folder_;
    event.transcriptText = u"  the whole meeting  "_s;
    event.transcriptFile = folder_ + u"/final_transcript/clean.md"_s;
    event.timelineFile = folder_ + u"/final_transcript/timeline.json"_s; // found by its name
    event.sourceChunkCount = 12;
    event.emptySourceChunkCount = 1;

    SessionTranscriptReadyEvent notUploaded = event;
    notUploaded.uploadState = UploadState{};
    EXPECT_EQ(test::runTask(notifier().notifySessionTranscriptReady(notUploaded)), RelayDelivery::failed);
    EXPECT_EQ(lines(u"Corvane Pelko final transcript delivery skipped: clean transcript is not uploaded"_s),
              1);
    EXPECT_TRUE(server_.requests().isEmpty());

    event.uploadState = uploads;
    EXPECT_EQ(test::runTask(notifier().notifySessionTranscriptReady(event)), RelayDelivery::delivered);
    ASSERT_EQ(server_.requests().size(), 2);
    const QJsonObject parent = QJsonDocument::fromJson(server_.requests()[0].body).object();
    EXPECT_EQ(parent.value(u"collection_id"_s).toString(), u"col-9"_s);
    EXPECT_EQ(parent.value(u"notes"_s).toString(),
              u"@Pelko Desk started recording session "_s + folder_ +
                  u". Chunk and final transcript events belong in this thread."_s);
    const QJsonObject final = QJsonDocument::fromJson(server_.requests()[1].body).object();
    EXPECT_EQ(final.value(u"transcript_drive_url"_s).toString(),
              u"https://drive.example/file/d/ab%2Fc/view"_s);
    EXPECT_EQ(final.value(u"transcript_file_name"_s).toString(), u"final_transcript/clean.md"_s);
    EXPECT_EQ(final.value(u"drive_url"_s).toString(), u"https://drive.example/file/d/tl/view"_s);
    EXPECT_EQ(final.value(u"file_name"_s).toString(), u"final_transcript/timeline.json"_s);
    EXPECT_EQ(final.value(u"folder_url"_s).toString(), u"https://drive.example/drive/folders/F%2F1"_s);
    EXPECT_EQ(final.value(u"collection_id"_s).toString(), u"col-9"_s);
    EXPECT_EQ(final.value(u"transcript_preview"_s).toString(), u"the whole meeting"_s);
    EXPECT_EQ(
        final.value(u"notes"_s).toString(),
        u"@Pelko Final human-readable transcript ready from 12 canonical chunk artifacts. 1 source chunk(s) "
        u"completed with empty transcript text."_s);
    EXPECT_FALSE(final.contains(u"chunk_index"_s));
    EXPECT_EQ(state().finalNotificationStatus, u"posted"_s);
    EXPECT_TRUE(state().finalNotificationSentAt.has_value());
    EXPECT_TRUE(relay_.violations().isEmpty()) << relay_.violations().join(u"; "_s).toStdString();
}

TEST_F(NotifierTest, AHangingSessionDoesNotHoldUpAnother)
{
    CorvanePelkoNotifier patient(
        CorvanePelkoNotifier::Config{.endpoint = server_.url(u"/corvane/api/v1/pelko/notify"_s),
                                     .recorderID = u"velno"_s,
                                     .recorderName = u"Desk"_s,
                                     .pelkoUserID = {}},
        logger_, network_, DriveWebLinks(QUrl(u"https://drive.example"_s)), [] { return token; },
        CorvanePelkoNotifier::Timing{.exchangeDeadline = 60s, .clock = systemTime});
    const QString other = root_.file(u"2026-01-05_11-00-00"_s);
    ASSERT_TRUE(QDir().mkpath(other));
    server_.addFault(FakeHttpServer::FaultRule{.method = "POST", .request = 1}, Fault::hang());

    QCoro::Task<RelayDelivery> hanging = patient.notifyRecordingSessionStarted(folder_);
    EXPECT_EQ(test::runTask(patient.notifyRecordingSessionStarted(other)), RelayDelivery::delivered);
    EXPECT_FALSE(hanging.isReady()) << "the first session still waits for its relay";
    EXPECT_TRUE(patient.gate().isBusy(folder_));

    server_.releaseHangs();
    EXPECT_EQ(test::runTask(std::move(hanging)), RelayDelivery::delivered);
    EXPECT_EQ(relay_.threads().size(), 2);
}

} // namespace
} // namespace ebbcast
