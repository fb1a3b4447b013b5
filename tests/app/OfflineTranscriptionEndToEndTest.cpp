// A fresh install's defaults: the offline gateway beside ebbcast transcribes a recorded session without any
// outside service and without having been started by anyone.
#include "app/RecordingProcess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <csignal>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

class OfflineTranscriptionEndToEndTest : public test::RecordingProcessTest {
protected:
    ~OfflineTranscriptionEndToEndTest() override
    {
        // The gateway outlives the command that started it (it exits after 15 idle minutes): end it here.
        QFile port(runtime() + u"/ebbcast-gateway/port"_s);
        if (port.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = port.readAll().split('\n');
            if (lines.size() >= 2 && lines[1].toInt() > 0)
                ::kill(lines[1].toInt(), SIGTERM);
        }
    }

    QString runtime() const { return folder_.file(u"runtime"_s); }

    // Sentences the engine hears well, each followed by a pause, as one WAV.
    QString speech()
    {
        const QStringList sentences{u"the children are playing in the park"_s,
                                    u"i would like a cup of coffee"_s,
                                    u"where is the nearest train station"_s};
        QStringList parts;
        for (qsizetype i = 0; i < sentences.size(); ++i) {
            const QString spoken = folder_.file(u"sentence%1.wav"_s.arg(i));
            EXPECT_EQ(QProcess::execute(u"espeak-ng"_s, {u"-v"_s, u"en-us+edward2"_s, u"-s"_s, u"160"_s,
                                                         u"-w"_s, spoken, sentences[i]}),
                      0);
            const QString padded = folder_.file(u"padded%1.wav"_s.arg(i));
            EXPECT_EQ(QProcess::execute(u"sox"_s, {u"-R"_s, spoken, u"-r"_s, u"48000"_s, u"-c"_s, u"2"_s,
                                                   padded, u"pad"_s, u"0.3"_s, u"1.2"_s}),
                      0);
            parts.append(padded);
        }
        const QString all = folder_.file(u"speech.wav"_s);
        EXPECT_EQ(QProcess::execute(u"sox"_s, parts + parts + QStringList{all}), 0);
        return all;
    }
};

TEST_F(OfflineTranscriptionEndToEndTest, TranscribeStartsTheLocalGatewayAndTheDocumentsHoldTheWords)
{
    // The build's default address, as a fresh install has it; the recording itself sends nothing.
    QProcessEnvironment local;
    local.insert(u"EBBCAST_GATEWAY_BASE_URL"_s, u"local"_s);
    ASSERT_EQ(runEbbcast({u"settings"_s, u"set"_s, u"enableLiveTranscription"_s, u"false"_s}, local).exitCode,
              0);
    ASSERT_EQ(runEbbcast({u"settings"_s, u"set"_s, u"clockSyncEnabled"_s, u"false"_s}, local).exitCode, 0);

    QProcess player;
    player.start(u"paplay"_s, {u"--latency-msec=20"_s, u"--device=ebbcast_mic_feed"_s, speech()});
    ASSERT_TRUE(player.waitForStarted(5000));
    QProcess record;
    const QString session =
        startRecording(record, {u"--duration"_s, u"12"_s, u"--chunk-seconds"_s, u"4"_s}, nullptr, local);
    ASSERT_FALSE(session.isEmpty()) << record.readAllStandardError().constData();
    ASSERT_TRUE(record.waitForFinished(60'000));
    ASSERT_EQ(record.exitCode(), 0) << record.readAllStandardError().constData();
    player.kill();
    player.waitForFinished();

    // No gateway runs for this runtime folder: transcribe starts one, with a token it makes and keeps.
    QDir().mkpath(runtime());
    QFile::setPermissions(runtime(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    local.insert(u"XDG_RUNTIME_DIR"_s, runtime());
    const Finished transcribed = runEbbcast({u"transcribe"_s, session}, local);
    ASSERT_EQ(transcribed.exitCode, 0) << transcribed.err.toStdString();
    EXPECT_TRUE(QFile::exists(runtime() + u"/ebbcast-gateway/port"_s));

    const Finished token = runEbbcast({u"settings"_s, u"get"_s, u"glossenGatewayToken"_s}, local);
    EXPECT_TRUE(QRegularExpression(u"^[0-9a-f]{64}$"_s).match(token.out).hasMatch()) << "no token was stored";
    EXPECT_FALSE(transcribed.err.contains(token.out)) << "the token reached the output";

    QString documents;
    QDirIterator files(session + u"/transcripts"_s, QDir::Files, QDirIterator::Subdirectories);
    int count = 0;
    while (files.hasNext()) {
        QFile file(files.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        documents += QString::fromUtf8(file.readAll());
        ++count;
    }
    EXPECT_GE(count, 3) << "final documents missing";
    int heard = 0;
    for (const QString& word : {u"children"_s, u"park"_s, u"coffee"_s, u"train"_s, u"station"_s})
        heard += documents.contains(word);
    EXPECT_GE(heard, 2) << documents.toStdString();
}

} // namespace
} // namespace ebbcast
