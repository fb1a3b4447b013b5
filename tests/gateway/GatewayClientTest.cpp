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
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

// Runs a program to its end; false when it failed.
bool runTool(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60'000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

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

TEST(GatewayClientAgainstTheOfflineGateway, SpokenChunksAsBothRecordersWriteThemComeBackAsText)
{
    TemporaryFolder folder;
    // The sentence in the engine's best espeak voice; the words asserted are those it hears reliably.
    const QString spoken = folder.file(u"spoken.wav"_s);
    ASSERT_TRUE(
        runTool(u"espeak-ng"_s, {u"-v"_s, u"en-us+edward2"_s, u"-s"_s, u"160"_s, u"-w"_s, spoken,
                                 u"the weather is nice today and we will go for a walk in the park"_s}));
    // The microphone recorder's format (32-bit float, 48 kHz) and the system-sound recorder's (AAC in m4a).
    const QString microphone = folder.file(u"microphone_0001.wav"_s);
    const QString system = folder.file(u"system_audio_0001.m4a"_s);
    ASSERT_TRUE(runTool(u"sox"_s, {u"-R"_s, spoken, u"-r"_s, u"48000"_s, u"-e"_s, u"floating-point"_s,
                                   u"-b"_s, u"32"_s, microphone}));
    ASSERT_TRUE(runTool(u"ffmpeg"_s, {u"-nostdin"_s, u"-loglevel"_s, u"error"_s, u"-i"_s, spoken, u"-ar"_s,
                                      u"48000"_s, u"-c:a"_s, u"aac"_s, u"-b:a"_s, u"128k"_s, system}));

    const QByteArray token = "d41d8cd98f00b204e9800998ecf8427e";
    GatewayProcess gateway({QStringLiteral(EBBCAST_GATEWAY),
                            folder.file(u"data"_s),
                            folder.file(u"port"_s),
                            token,
                            {u"--workers"_s, u"2"_s}});
    ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();

    QNetworkAccessManager network;
    GlossenGatewayClient client(
        [&] {
            return GlossenGatewaySettings{u" http://127.0.0.1:%1/ \n"_s.arg(gateway.port()),
                                          QString::fromUtf8(token)};
        },
        network);

    const QString session = u"8F2C61D4-6A0B-4F53-9C1E-3D5B7A9E0F12"_s;
    struct Chunk {
        QString kind;
        QString path;
        QString file;
    };
    for (const Chunk& chunk : {Chunk{u"microphone"_s, microphone, u"microphone_0001.wav"_s},
                               Chunk{u"system_audio"_s, system, u"system_audio_0001.m4a"_s}}) {
        const GlossenUploadResponse accepted =
            runTask(client.uploadChunk(session, metadataFor(session, chunk.kind, 1, chunk.file), chunk.path));
        EXPECT_EQ(accepted.collectionID.value_or(QString()), session);
        EXPECT_TRUE(accepted.statusURL.startsWith(u"http://127.0.0.1:%1/v1/jobs/"_s.arg(gateway.port())));
        // A retry of the same chunk is the same job.
        EXPECT_EQ(
            runTask(client.uploadChunk(session, metadataFor(session, chunk.kind, 1, chunk.file), chunk.path))
                .gatewayJobID,
            accepted.gatewayJobID);

        QString state;
        const QDeadlineTimer deadline(120'000);
        while (!deadline.hasExpired()) {
            state = runTask(client.getJob(accepted.gatewayJobID)).job.state;
            if (state == "COMPLETE"_L1 || state == "PERMANENT_FAILURE"_L1)
                break;
            QThread::msleep(100);
        }
        ASSERT_EQ(state, u"COMPLETE"_s) << chunk.kind.toStdString();
        const GlossenArtifactsResponse listing = runTask(client.listArtifacts(accepted.gatewayJobID));
        ASSERT_EQ(listing.artifacts.size(), 1u);
        const GlossenArtifact& artifact = listing.artifacts.front();
        EXPECT_EQ(artifact.artifactType.value_or(QString()), u"transcript-txt"_s);
        const QString text = QString::fromUtf8(
            runTask(client.downloadArtifact(accepted.gatewayJobID, artifact.id, artifact.sizeBytes)));
        EXPECT_TRUE(text.contains(u"walk"_s) && text.contains(u"park"_s))
            << chunk.kind.toStdString() << " heard: " << text.toStdString();
    }
}

// Three chunks per worker through the real engine: never more running than workers (from the stored times),
// started in arrival order, each transcript from its own audio, none lost.
TEST(GatewayClientAgainstTheOfflineGateway, ThreeChunksPerWorkerEachGetTheirOwnWords)
{
    TemporaryFolder folder;
    const SpokenSentences spoken = SpokenSentences::load();
    // Sentences with a word no other of them has, each spoken in the microphone's format.
    const QList<QPair<QString, QString>> chosen{
        {spoken.sentences.value(1), u"coffee"_s}, {spoken.sentences.value(4), u"children"_s},
        {spoken.sentences.value(9), u"train"_s},  {spoken.sentences.value(10), u"bread"_s},
        {spoken.sentences.value(3), u"car"_s},    {spoken.sentences.value(7), u"newspaper"_s},
    };
    QStringList files;
    for (qsizetype i = 0; i < chosen.size(); ++i) {
        ASSERT_TRUE(chosen[i].first.contains(chosen[i].second)) << chosen[i].first.toStdString();
        files.append(spoken.speak(folder.path(), u"s%1"_s.arg(i), chosen[i].first,
                                  SpokenSentences::Form::microphoneWav));
    }

    const QByteArray token = "0123456789abcdef0123456789abcdef";
    GatewayProcess gateway({QStringLiteral(EBBCAST_GATEWAY),
                            folder.file(u"data"_s),
                            folder.file(u"port"_s),
                            token,
                            {u"--workers"_s, u"2"_s}});
    ASSERT_TRUE(gateway.start()) << gateway.standardError().constData();
    QNetworkAccessManager network;
    GlossenGatewayClient client(
        [&] {
            return GlossenGatewaySettings{u"http://127.0.0.1:%1"_s.arg(gateway.port()),
                                          QString::fromUtf8(token)};
        },
        network);
    const QString session = u"session-6"_s;
    QStringList ids;
    for (qsizetype i = 0; i < files.size(); ++i)
        ids.append(runTask(client.uploadChunk(session,
                                              metadataFor(session, u"microphone"_s, static_cast<int>(i),
                                                          QFileInfo(files[i]).fileName()),
                                              files[i]))
                       .gatewayJobID);

    struct Span {
        QDateTime start, end;
    };
    QList<Span> spans;
    for (qsizetype i = 0; i < ids.size(); ++i) {
        QString state;
        const QDeadlineTimer deadline(180'000);
        while (!deadline.hasExpired()) {
            state = runTask(client.getJob(ids[i])).job.state;
            if (state == "COMPLETE"_L1 || state == "PERMANENT_FAILURE"_L1)
                break;
            QThread::msleep(100);
        }
        ASSERT_EQ(state, u"COMPLETE"_s) << i;
        const GlossenArtifactsResponse listing = runTask(client.listArtifacts(ids[i]));
        ASSERT_EQ(listing.artifacts.size(), 1u);
        const QString text = QString::fromUtf8(runTask(client.downloadArtifact(ids[i], 1)));
        EXPECT_TRUE(text.contains(chosen[i].second)) << "chunk " << i << " heard: " << text.toStdString();
        QFile stored(folder.file(u"data/jobs/%1/job.json"_s.arg(ids[i])));
        ASSERT_TRUE(stored.open(QIODevice::ReadOnly));
        const QJsonObject job = QJsonDocument::fromJson(stored.readAll()).object();
        spans.append({QDateTime::fromString(job.value(u"started_at"_s).toString(), Qt::ISODate),
                      QDateTime::fromString(job.value(u"ended_at"_s).toString(), Qt::ISODate)});
    }
    EXPECT_EQ(QDir(folder.file(u"data/jobs"_s)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 6);
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
