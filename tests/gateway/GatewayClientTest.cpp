// The application's own gateway client against a real ebbcast-gateway with the speech engine: spoken
// sentences as the recorders write them go up, are transcribed and come back.
#include "gateway/GatewayProcess.h"
#include "gateway/SpokenSentences.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "transcription/GlossenGatewayClient.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QThread>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

GlossenChunkUploadMetadata metadataFor(const QString& session, const QString& kind, int index,
                                       const QString& file)
{
    GlossenChunkUploadMetadata metadata;
    metadata.recorderID = u"desk-1"_s;
    metadata.recorderName = u"Desk"_s;
    metadata.sessionID = session;
    metadata.recordingName = u"Walk"_s;
    metadata.threadKey = u"thread"_s;
    metadata.chunkIndex = index;
    metadata.chunkKind = kind;
    metadata.chunkStartTime = QDateTime::currentDateTimeUtc();
    metadata.chunkEndTime = metadata.chunkStartTime.addSecs(5);
    metadata.chunkDuration = 5;
    metadata.chunkTimecodeStart = u"00:00:00.000"_s;
    metadata.localFileName = file;
    return metadata;
}

// The real gateway with two workers and the application's client pointed at it.
class GatewayClientAgainstTheOfflineGateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        gateway_ = std::make_unique<GatewayProcess>(GatewayProcess::Options{QStringLiteral(EBBCAST_GATEWAY),
                                                                            folder_.file(u"data"_s),
                                                                            folder_.file(u"port"_s),
                                                                            token_,
                                                                            {u"--workers"_s, u"2"_s}});
        ASSERT_TRUE(gateway_->start()) << gateway_->standardError().constData();
        // White space around the address, as a setting typed by hand may have.
        client_ = std::make_unique<GlossenGatewayClient>(
            [this] {
                return GlossenGatewaySettings{u" http://127.0.0.1:%1/ \n"_s.arg(gateway_->port()),
                                              QString::fromUtf8(token_)};
            },
            network_);
    }

    // Polls the job as the pipeline does, a little faster; its last state.
    QString waitForEnd(const QString& jobID)
    {
        QString state;
        const QDeadlineTimer deadline(180'000);
        while (!deadline.hasExpired()) {
            state = runTask(client_->getJob(jobID)).job.state;
            if (state == "COMPLETE"_L1 || state == "PERMANENT_FAILURE"_L1)
                break;
            QThread::msleep(100);
        }
        return state;
    }

    // The one transcript artifact of a complete job, as text.
    QString transcript(const QString& jobID)
    {
        const GlossenArtifactsResponse listing = runTask(client_->listArtifacts(jobID));
        EXPECT_EQ(listing.artifacts.size(), 1u);
        if (listing.artifacts.empty())
            return {};
        const GlossenArtifact& artifact = listing.artifacts.front();
        EXPECT_EQ(artifact.artifactType.value_or(QString()), u"transcript-txt"_s);
        return QString::fromUtf8(runTask(client_->downloadArtifact(jobID, artifact.id, artifact.sizeBytes)));
    }

    QJsonObject storedJob(const QString& jobID) const
    {
        QFile stored(folder_.file(u"data/jobs/%1/job.json"_s.arg(jobID)));
        EXPECT_TRUE(stored.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(stored.readAll()).object();
    }

    TemporaryFolder folder_;
    const QByteArray token_ = "d41d8cd98f00b204e9800998ecf8427e";
    std::unique_ptr<GatewayProcess> gateway_;
    QNetworkAccessManager network_;
    std::unique_ptr<GlossenGatewayClient> client_;
};

TEST_F(GatewayClientAgainstTheOfflineGateway, SpokenChunksAsBothRecordersWriteThemComeBackAsText)
{
    SpokenSentences spoken = SpokenSentences::load();
    const QString sentence = u"the weather is nice today and we will go for a walk in the park"_s;
    struct Chunk {
        QString kind;
        QString path;
    };
    const QList<Chunk> chunks{
        {u"microphone"_s,
         spoken.speak(folder_.path(), u"microphone_0001"_s, sentence, SpokenSentences::Form::microphoneWav)},
        {u"system_audio"_s,
         spoken.speak(folder_.path(), u"system_audio_0001"_s, sentence, SpokenSentences::Form::systemM4a)},
    };
    const QString session = u"8F2C61D4-6A0B-4F53-9C1E-3D5B7A9E0F12"_s;
    for (const Chunk& chunk : chunks) {
        const QString file = QFileInfo(chunk.path).fileName();
        const GlossenUploadResponse accepted =
            runTask(client_->uploadChunk(session, metadataFor(session, chunk.kind, 1, file), chunk.path));
        EXPECT_EQ(accepted.collectionID.value_or(QString()), session);
        EXPECT_TRUE(accepted.statusURL.startsWith(u"http://127.0.0.1:%1/v1/jobs/"_s.arg(gateway_->port())));
        // A retry of the same chunk is the same job.
        EXPECT_EQ(
            runTask(client_->uploadChunk(session, metadataFor(session, chunk.kind, 1, file), chunk.path))
                .gatewayJobID,
            accepted.gatewayJobID);
        ASSERT_EQ(waitForEnd(accepted.gatewayJobID), u"COMPLETE"_s) << chunk.kind.toStdString();
        const QString text = transcript(accepted.gatewayJobID);
        EXPECT_TRUE(text.contains(u"walk"_s) && text.contains(u"park"_s))
            << chunk.kind.toStdString() << " heard: " << text.toStdString();
    }
}

// Three chunks per worker through the real engine: never more running than workers (from the stored times),
// started in arrival order, each transcript from its own audio, none lost.
TEST_F(GatewayClientAgainstTheOfflineGateway, ThreeChunksPerWorkerEachGetTheirOwnWords)
{
    const SpokenSentences spoken = SpokenSentences::load();
    // Sentences with a word no other of them has, each spoken in the microphone's format.
    const QList<QPair<QString, QString>> chosen{
        {spoken.sentences.value(1), u"coffee"_s}, {spoken.sentences.value(4), u"children"_s},
        {spoken.sentences.value(9), u"train"_s},  {spoken.sentences.value(10), u"bread"_s},
        {spoken.sentences.value(3), u"car"_s},    {spoken.sentences.value(7), u"newspaper"_s},
    };
    const QString session = u"session-6"_s;
    QStringList ids;
    for (qsizetype i = 0; i < chosen.size(); ++i) {
        ASSERT_TRUE(chosen[i].first.contains(chosen[i].second)) << chosen[i].first.toStdString();
        const QString file = spoken.speak(folder_.path(), u"s%1"_s.arg(i), chosen[i].first,
                                          SpokenSentences::Form::microphoneWav);
        ids.append(runTask(client_->uploadChunk(session,
                                                metadataFor(session, u"microphone"_s, static_cast<int>(i),
                                                            QFileInfo(file).fileName()),
                                                file))
                       .gatewayJobID);
    }

    struct Span {
        QDateTime start, end;
    };
    QList<Span> spans;
    for (qsizetype i = 0; i < ids.size(); ++i) {
        ASSERT_EQ(waitForEnd(ids[i]), u"COMPLETE"_s) << i;
        const QString text = transcript(ids[i]);
        EXPECT_TRUE(text.contains(chosen[i].second)) << "chunk " << i << " heard: " << text.toStdString();
        const QJsonObject job = storedJob(ids[i]);
        spans.append({QDateTime::fromString(job.value(u"started_at"_s).toString(), Qt::ISODate),
                      QDateTime::fromString(job.value(u"ended_at"_s).toString(), Qt::ISODate)});
    }
    EXPECT_EQ(QDir(folder_.file(u"data/jobs"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 6);
    for (qsizetype i = 1; i < spans.size(); ++i)
        EXPECT_LE(spans[i - 1].start, spans[i].start) << "chunk " << i << " started before an earlier one";
    // Whole seconds: at each start, the jobs begun by then and not ended before that second.
    for (const Span& at : spans) {
        int overlapping = 0;
        for (const Span& other : spans)
            overlapping += other.start <= at.start && other.end > at.start;
        EXPECT_LE(overlapping, 2);
    }
}

} // namespace
} // namespace ebbcast::test
