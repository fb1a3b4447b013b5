#include "app/RecordingProcess.h"
#include "core/base/FileLock.h"
#include "support/PreparedSession.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QThread>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::PreparedSession;
using test::PreparedSessionOptions;
using test::TemporaryFolder;

const QString gatewayToken = u"tok-transcribe"_s;

// How long a run of the command may take on a cold, loaded machine before the test gives up on it.
int runLimitMs()
{
    return static_cast<int>(120'000 * test::timingScale());
}

// The transcript the nth job of the gateway gives (a trailing newline the command trims).
QString jobText(int job)
{
    return u"Job %1 heard: Grüße aus Kapitel %1."_s.arg(job);
}
const QString unlistedJobText = u"A job beyond the scripted ones."_s;

QJsonObject jobScript(const QString& text)
{
    const QByteArray content = (text + u'\n').toUtf8();
    return QJsonObject{
        {u"states"_s, QJsonArray{u"COMPLETE"_s}},
        {u"artifacts"_s, QJsonArray{QJsonObject{{u"id"_s, 7},
                                                {u"artifact_type"_s, u"transcript-txt"_s},
                                                {u"content"_s, QString::fromUtf8(content)},
                                                {u"size_bytes"_s, content.size()}}}},
    };
}

// A scenario whose first `jobs` jobs each give a transcript of their own (jobText), the later ones
// unlistedJobText, with `faults`.
QByteArray scenario(int jobs, const QJsonArray& faults = {})
{
    QJsonArray scripts;
    for (int job = 1; job <= jobs; ++job)
        scripts.append(jobScript(jobText(job)));
    return QJsonDocument(QJsonObject{{u"jobs"_s, scripts},
                                     {u"default_job"_s, jobScript(unlistedJobText)},
                                     {u"faults"_s, faults}})
        .toJson(QJsonDocument::Compact);
}

// The text a job's transcript gives, from its id ("job-<n>").
QString expectedText(const QString& jobID, int scriptedJobs)
{
    bool ok = false;
    const int number = jobID.mid(4).toInt(&ok);
    if (!jobID.startsWith(u"job-"_s) || !ok)
        return u"<unknown job %1>"_s.arg(jobID);
    return number <= scriptedJobs ? jobText(number) : unlistedJobText;
}

// One line of the gateway's request log.
struct LoggedRequest {
    QString route; // "upload", "job", "artifacts", "download"
    QStringList ids;
    int status = 0;
    QString trouble;
    QStringList violations;
    QString fileName; // an upload's file
    QString jobID;    // the job an upload created; the job asked about otherwise

    bool isUpload() const { return route == u"upload"_s; }
};

// The fake gateway as a child process (see tests/gateway/FakeGatewayMain.cpp), ended with SIGTERM.
class GatewayProcess {
public:
    GatewayProcess(const QString& folder, const QByteArray& scenarioJson, const QStringList& extra = {})
        : portFile_(folder + u"/port"_s)
        , log_(folder + u"/requests.jsonl"_s)
    {
        QDir().mkpath(folder);
        TemporaryFolder::writeAll(folder + u"/scenario.json"_s, scenarioJson);
        process_.setProgram(QStringLiteral(EBBCAST_FAKE_GATEWAY));
        process_.setArguments(QStringList{u"--token"_s, gatewayToken, u"--prefix"_s, u"/gw"_s,
                                          u"--port-file"_s, portFile_, u"--request-log"_s, log_,
                                          u"--scenario"_s, folder + u"/scenario.json"_s} +
                              extra);
        process_.start();
        const QDeadlineTimer deadline(30000);
        while (port_ == 0 && !deadline.hasExpired() && process_.state() != QProcess::NotRunning) {
            port_ = static_cast<quint16>(TemporaryFolder::readAll(portFile_).trimmed().toUInt());
            if (port_ == 0)
                QThread::msleep(10);
        }
        if (port_ == 0)
            throw std::runtime_error("the fake gateway did not start: " +
                                     process_.readAllStandardError().toStdString());
    }

    ~GatewayProcess()
    {
        process_.terminate();
        if (!process_.waitForFinished(10000) && process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    GatewayProcess(const GatewayProcess&) = delete;
    GatewayProcess& operator=(const GatewayProcess&) = delete;

    QString baseURL() const { return u"http://127.0.0.1:%1/gw"_s.arg(port_); }

    QList<LoggedRequest> requests() const
    {
        QList<LoggedRequest> all;
        for (const QByteArray& line : TemporaryFolder::readAll(log_).split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            LoggedRequest request;
            request.route = object.value(u"route"_s).toString();
            for (const QJsonValue id : object.value(u"ids"_s).toArray())
                request.ids.append(id.toString());
            request.status = object.value(u"status"_s).toInt();
            request.trouble = object.value(u"trouble"_s).toString();
            for (const QJsonValue violation : object.value(u"violations"_s).toArray())
                request.violations.append(violation.toString());
            const QJsonObject upload = object.value(u"upload"_s).toObject();
            request.fileName = upload.value(u"file_name"_s).toString();
            request.jobID = request.isUpload() ? upload.value(u"job_id"_s).toString() : request.ids.value(0);
            all.append(request);
        }
        return all;
    }

    // Once the client that talked to the gateway is gone: waits until the gateway has read every byte that
    // reached it (so it logged every request that arrived whole), then sends a request of its own for the job
    // `marker` and waits for its line. Returns the number of log lines up to and including the marker's, so
    // that the lines before it are the dead client's and those after it the next one's.
    qsizetype settle(const QString& marker)
    {
        const QDeadlineTimer deadline(30000);
        while (unreadBytes() > 0) {
            if (deadline.hasExpired())
                throw std::runtime_error("the fake gateway does not read what was sent to it");
            QThread::msleep(5);
        }
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, port_);
        if (!socket.waitForConnected(10000))
            throw std::runtime_error("cannot reach the fake gateway");
        socket.write("GET /gw/v1/jobs/" + marker.toUtf8() +
                     " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port_) +
                     "\r\nAuthorization: Bearer " + gatewayToken.toUtf8() + "\r\n\r\n");
        socket.waitForBytesWritten(10000);
        while (!deadline.hasExpired()) {
            const QList<LoggedRequest> lines = requests();
            for (qsizetype index = 0; index < lines.size(); ++index) {
                if (lines[index].ids.value(0) == marker)
                    return index + 1;
            }
            QThread::msleep(5);
        }
        throw std::runtime_error("the fake gateway did not log the marker request");
    }

    static bool isMarker(const LoggedRequest& request)
    {
        return request.ids.value(0).startsWith(u"marker-"_s);
    }

private:
    // Bytes waiting in the receive queues of the gateway's connections (/proc/net/tcp).
    qint64 unreadBytes() const
    {
        QFile table(u"/proc/net/tcp"_s);
        if (!table.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read /proc/net/tcp");
        qint64 unread = 0;
        const QByteArray ownPort = ':' + QByteArray::number(port_, 16).toUpper().rightJustified(4, '0');
        for (const QByteArray& line : table.readAll().split('\n')) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            // "sl local rem st tx_queue:rx_queue ..."; the listening socket (state 0A) holds no data.
            if (fields.size() < 5 || !fields[1].endsWith(ownPort) || fields[3] == "0A")
                continue;
            unread += fields[4].mid(fields[4].indexOf(':') + 1).toLongLong(nullptr, 16);
        }
        return unread;
    }

    QString portFile_;
    QString log_;
    QProcess process_;
    quint16 port_ = 0;
};

// What a chunk's document (or its "live_chunks" entry) says about its transcript.
struct ChunkRecord {
    QString status; // empty: none
    QString text;
    QString jobID;
};

ChunkRecord recordOf(const QJsonObject& chunk)
{
    return {chunk.value(u"transcription_status"_s).toString(), chunk.value(u"transcript_text"_s).toString(),
            chunk.value(u"gateway_job_id"_s).toString()};
}

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(TemporaryFolder::readAll(path)).object();
}

// The chunk documents, by audio file name.
std::map<QString, ChunkRecord> chunkDocuments(const PreparedSession& session)
{
    std::map<QString, ChunkRecord> records;
    for (const QString& path : session.chunkPaths) {
        const QString document = path.left(path.lastIndexOf(u'.')) + u".json"_s;
        records[QFileInfo(path).fileName()] = recordOf(readJson(document));
    }
    return records;
}

// The session document's "live_chunks" entries, by audio file name.
std::map<QString, ChunkRecord> liveChunks(const PreparedSession& session)
{
    std::map<QString, ChunkRecord> records;
    const QJsonObject metadata = readJson(session.folder + u"/metadata.json"_s);
    for (const QJsonValue entry : metadata.value(u"live_chunks"_s).toArray()) {
        const QJsonObject chunk = entry.toObject();
        records[QFileInfo(chunk.value(u"file_path"_s).toString()).fileName()] = recordOf(chunk);
    }
    return records;
}

QString transcriptFileOf(const PreparedSession& session, const RecordingChunkMetadata& chunk)
{
    return session.folder + u"/transcripts/"_s + chunk.kind + u"_chunk_"_s +
           QString::number(chunk.index).rightJustified(4, u'0') + u".txt"_s;
}

const QStringList finalDocuments{u"00 Session Brief.md"_s, u"01 Clean Transcript.md"_s, u"02 Timeline.json"_s,
                                 u"03 Raw Transcript.md"_s, u"04 Provenance.json"_s};

QStringList stagedStrays(const PreparedSession& session)
{
    return QDir(session.folder + u"/transcripts"_s)
        .entryList({u".ebbcast_staged_*"_s}, QDir::Files | QDir::Hidden | QDir::System);
}

// "ebbcast transcribe" against the fake gateway, with a private configuration and state.
class TranscribeProcessTest : public test::RecordingProcessTest {
protected:
    struct Run {
        int exitCode = -1; // -1: killed or crashed
        QString err;
        qint64 elapsedMs = 0;
        bool killed = false; // by the test
    };

    void setSetting(const QString& name, const QString& value)
    {
        const Finished set = runEbbcast({u"settings"_s, u"set"_s, name, value});
        ASSERT_EQ(set.exitCode, 0) << name.toStdString() << ": " << set.err.toStdString();
    }

    void useGateway(const GatewayProcess& gateway)
    {
        setSetting(u"glossenGatewayBaseURL"_s, gateway.baseURL());
        setSetting(u"glossenGatewayToken"_s, gatewayToken);
    }

    void startTranscribe(QProcess& process, const QStringList& arguments)
    {
        configure(process);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(executable(), QStringList{u"transcribe"_s} + arguments);
        ASSERT_TRUE(process.waitForStarted(30000)) << process.errorString().toStdString();
    }

    static Run finish(QProcess& process, const QElapsedTimer& clock)
    {
        if (!process.waitForFinished(runLimitMs()) && process.state() != QProcess::NotRunning) {
            ADD_FAILURE() << "ebbcast transcribe did not end in time";
            process.kill();
            process.waitForFinished(10000);
        }
        Run run;
        run.elapsedMs = clock.elapsed();
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.err = QString::fromUtf8(process.readAllStandardError());
        return run;
    }

    // Runs "ebbcast transcribe ARGUMENTS"; with `killAfterMs` it is killed with SIGKILL that long after its
    // start unless it ended before.
    Run transcribe(const QStringList& arguments, std::optional<int> killAfterMs = std::nullopt)
    {
        QProcess process;
        startTranscribe(process, arguments);
        QElapsedTimer clock;
        clock.start();
        bool killed = false;
        if (killAfterMs) {
            process.waitForFinished(*killAfterMs);
            if (process.state() != QProcess::NotRunning) {
                process.kill();
                killed = true;
            }
        }
        Run run = finish(process, clock);
        run.killed = killed;
        return run;
    }

    PreparedSession prepare(const QString& root, const PreparedSessionOptions& options)
    {
        try {
            return test::prepareStoppedSession(root, options);
        } catch (const std::exception& error) {
            ADD_FAILURE() << error.what();
            throw;
        }
    }

    static PreparedSessionOptions filler(int chunksPerTrack)
    {
        PreparedSessionOptions options;
        options.microphoneChunks = chunksPerTrack;
        options.systemAudioChunks = chunksPerTrack;
        return options;
    }

    // Every chunk is complete, with the transcript of the job its document names, in its document, its
    // "live_chunks" entry and its transcript file; that job came from an upload of that chunk.
    void expectEveryChunkTranscribed(const PreparedSession& session, const QList<LoggedRequest>& requests,
                                     int scriptedJobs)
    {
        std::map<QString, QString> chunkOfJob;
        for (const LoggedRequest& request : requests) {
            if (request.isUpload() && !request.jobID.isEmpty())
                chunkOfJob[request.jobID] = request.fileName;
        }
        const std::map<QString, ChunkRecord> documents = chunkDocuments(session);
        const std::map<QString, ChunkRecord> live = liveChunks(session);
        for (const RecordingChunkMetadata& chunk : session.chunks) {
            const QString name = QFileInfo(chunk.filePath).fileName();
            SCOPED_TRACE(name.toStdString());
            const ChunkRecord& document = documents.at(name);
            EXPECT_EQ(document.status, u"complete"_s);
            EXPECT_EQ(chunkOfJob[document.jobID], name) << "job " << document.jobID.toStdString();
            const QString text = expectedText(document.jobID, scriptedJobs);
            EXPECT_EQ(document.text, text);
            ASSERT_TRUE(live.contains(name));
            EXPECT_EQ(live.at(name).status, u"complete"_s);
            EXPECT_EQ(live.at(name).text, text);
            EXPECT_EQ(live.at(name).jobID, document.jobID);
            EXPECT_EQ(QString::fromUtf8(TemporaryFolder::readAll(transcriptFileOf(session, chunk))), text);
        }
    }

    static void expectFinalDocuments(const PreparedSession& session)
    {
        for (const QString& name : finalDocuments)
            EXPECT_TRUE(QFileInfo(session.folder + u"/transcripts/"_s + name).isFile()) << name.toStdString();
    }

    // The final documents exist and their timeline has every chunk complete with the text of its document.
    static void expectCompleteFinalDocuments(const PreparedSession& session)
    {
        expectFinalDocuments(session);
        const QJsonObject timeline = readJson(session.folder + u"/transcripts/02 Timeline.json"_s);
        EXPECT_EQ(timeline.value(u"status"_s).toString(), u"ready"_s);
        const QJsonArray chunks = timeline.value(u"chunks"_s).toArray();
        EXPECT_EQ(chunks.size(), static_cast<qsizetype>(session.chunks.size()));
        const std::map<QString, ChunkRecord> documents = chunkDocuments(session);
        for (const QJsonValue entry : chunks) {
            const QJsonObject chunk = entry.toObject();
            const QString name = QFileInfo(chunk.value(u"source_chunk"_s).toString()).fileName();
            ASSERT_TRUE(documents.contains(name)) << name.toStdString();
            EXPECT_EQ(recordOf(chunk).status, u"complete"_s) << name.toStdString();
            EXPECT_EQ(recordOf(chunk).text, documents.at(name).text) << name.toStdString();
        }
    }
};

TEST_F(TranscribeProcessTest, ItTranscribesEveryChunkOfAStoppedSessionAndASecondRunAsksNothing)
{
    PreparedSessionOptions options;
    options.realAudio = true; // 12 microphone WAV (sox) and 12 system-audio m4a (ffmpeg) chunks
    const PreparedSession session = prepare(recordings(), options);
    ASSERT_EQ(session.chunks.size(), 24U);
    GatewayProcess gateway(folder_.file(u"gateway"_s), scenario(30));
    useGateway(gateway);
    setSetting(u"enableLiveTranscription"_s, u"false"_s);

    const Run first = transcribe({session.folder});
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    std::cout << "first run: " << first.elapsedMs << " ms\n";

    const QList<LoggedRequest> requests = gateway.requests();
    int uploads = 0;
    std::map<QString, int> uploadsOfChunk;
    for (const LoggedRequest& request : requests) {
        EXPECT_TRUE(request.violations.isEmpty()) << request.violations.join(u"; "_s).toStdString();
        EXPECT_EQ(request.status, 200) << request.route.toStdString();
        if (request.isUpload()) {
            ++uploads;
            ++uploadsOfChunk[request.fileName];
        }
    }
    EXPECT_EQ(uploads, 24);
    EXPECT_EQ(uploadsOfChunk.size(), 24U);
    expectEveryChunkTranscribed(session, requests, 30);
    expectCompleteFinalDocuments(session);
    EXPECT_TRUE(stagedStrays(session).isEmpty());

    const QStringList lines = first.err.split(u'\n', Qt::SkipEmptyParts);
    for (const QString& path : session.chunkPaths) {
        const QString line = u"ebbcast: "_s + QFileInfo(path).fileName() + u": complete"_s;
        EXPECT_EQ(lines.count(line), 1) << line.toStdString() << "\n" << first.err.toStdString();
    }
    EXPECT_TRUE(lines.contains(u"ebbcast: Chunks: 24 (24 complete)"_s)) << first.err.toStdString();
    EXPECT_TRUE(lines.contains(u"ebbcast: Final transcript: "_s + session.folder +
                               u"/transcripts/01 Clean Transcript.md"_s))
        << first.err.toStdString();
    const QByteArray cleanTranscript =
        TemporaryFolder::readAll(session.folder + u"/transcripts/01 Clean Transcript.md"_s);
    for (int job = 1; job <= 24; ++job)
        EXPECT_TRUE(cleanTranscript.contains(jobText(job).toUtf8())) << job;

    // Everything is done: a second run asks the gateway nothing.
    const Run second = transcribe({session.folder});
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_TRUE(second.err.contains(u"Chunks: 24 (24 complete)"_s)) << second.err.toStdString();
    EXPECT_EQ(gateway.requests().size(), requests.size());
    expectEveryChunkTranscribed(session, requests, 30);
    std::cout << "second run: " << second.elapsedMs << " ms\n";
}

// glossenGatewayBaseURL "local" without a token: the command starts the offline gateway beside it with a
// token it makes and stores, and the next run finds that gateway. A copy of ebbcast runs in a folder of its
// own with the stand-in of the offline gateway (tests/transcription/LocalGatewayStandIn.cpp) beside it.
TEST_F(TranscribeProcessTest, TheLocalGatewayIsStartedBesideTheProgramAndFoundByTheNextRun)
{
    const QString bin = folder_.file(u"bin"_s);
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString program = bin + u"/ebbcast"_s;
    // A hard link where the file system allows it: the program is large.
    const bool linked =
        ::link(QFile::encodeName(executable()).constData(), QFile::encodeName(program).constData()) == 0;
    ASSERT_TRUE(linked || QFile::copy(executable(), program));
    ASSERT_TRUE(QFile::link(QStringLiteral(EBBCAST_LOCAL_GATEWAY_STAND_IN), bin + u"/ebbcast-gateway"_s));
    const QString runtime = folder_.file(u"runtime"_s);
    ASSERT_EQ(::mkdir(QFile::encodeName(runtime).constData(), 0700), 0);
    const QString gatewayFolder = runtime + u"/ebbcast-gateway"_s;
    // Whatever happens, the gateway started here ends with the test.
    const auto endGateway = qScopeGuard([&gatewayFolder] {
        const qint64 pid =
            TemporaryFolder::readAll(gatewayFolder + u"/port"_s).split('\n').value(1).toLongLong();
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), SIGTERM);
    });
    TemporaryFolder::writeAll(folder_.file(u"scenario.json"_s), scenario(8));
    QProcessEnvironment changes;
    changes.insert(u"XDG_RUNTIME_DIR"_s, runtime);
    changes.insert(u"EBBCAST_STAND_IN_SCENARIO"_s, folder_.file(u"scenario.json"_s));
    setSetting(u"glossenGatewayBaseURL"_s, u"local"_s);

    const auto transcribeWithCopy = [&](const PreparedSession& session) {
        QProcess process;
        configure(process, changes);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(program, {u"transcribe"_s, session.folder});
        QElapsedTimer clock;
        clock.start();
        const Run run = finish(process, clock);
        EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
        EXPECT_TRUE(run.err.contains(u"Chunks: 2 (2 complete)"_s)) << run.err.toStdString();
        for (const auto& [name, record] : chunkDocuments(session))
            EXPECT_EQ(record.status, u"complete"_s) << name.toStdString();
        return run;
    };
    const Run first = transcribeWithCopy(prepare(folder_.file(u"first"_s), filler(1)));
    const QString token =
        readJson(folder_.file(u"config/Tavilon/settings.json"_s)).value(u"glossenGatewayToken"_s).toString();
    EXPECT_TRUE(QRegularExpression(u"^[0-9a-f]{64}$"_s).match(token).hasMatch()) << token.toStdString();
    EXPECT_FALSE(first.err.contains(token));
    const QByteArray starts = TemporaryFolder::readAll(gatewayFolder + u"/stand-in.starts"_s);
    EXPECT_EQ(starts.count('\n'), 1);

    const Run second = transcribeWithCopy(prepare(folder_.file(u"second"_s), filler(1)));
    EXPECT_EQ(TemporaryFolder::readAll(gatewayFolder + u"/stand-in.starts"_s), starts) << "no second start";
    EXPECT_FALSE(second.err.contains(token));
    const QByteArray log = TemporaryFolder::readAll(folder_.file(u"state/Tavilon/app.log"_s));
    EXPECT_EQ(log.count("Started the local transcription gateway"), 1);
    EXPECT_FALSE(log.contains(token.toLatin1()));
}

// The real ebbcast-gateway beside ebbcast: started by `transcribe`, it outlives that process's SIGKILL,
// finishes the jobs it accepted, and the next run finds it and collects them without sending a chunk again.
TEST_F(TranscribeProcessTest, TheLocalGatewayOutlivesAKilledRunAndFinishesItsJobs)
{
    const QString runtime = folder_.file(u"runtime"_s);
    ASSERT_EQ(::mkdir(QFile::encodeName(runtime).constData(), 0700), 0);
    const QString gatewayFolder = runtime + u"/ebbcast-gateway"_s;
    const auto gatewayPid = [&gatewayFolder] {
        return TemporaryFolder::readAll(gatewayFolder + u"/port"_s).split('\n').value(1).toLongLong();
    };
    const auto endGateway = qScopeGuard([&gatewayPid] {
        if (gatewayPid() > 0)
            ::kill(static_cast<pid_t>(gatewayPid()), SIGTERM);
    });
    QProcessEnvironment changes;
    changes.insert(u"XDG_RUNTIME_DIR"_s, runtime);
    setSetting(u"glossenGatewayBaseURL"_s, u"local"_s);
    PreparedSessionOptions options = filler(3);
    options.realAudio = true;
    options.chunkSeconds = 6;
    const PreparedSession session = prepare(folder_.file(u"recordings"_s), options);

    QProcess first;
    configure(first, changes);
    first.setStandardInputFile(QProcess::nullDevice());
    first.start(executable(), {u"transcribe"_s, session.folder});
    // Killed once the gateway holds every chunk as a job.
    const QString jobs = folder_.file(u"state/Tavilon/gateway/jobs"_s);
    const QDeadlineTimer accepted(runLimitMs());
    while (QDir(jobs).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() < 6 && !accepted.hasExpired() &&
           first.state() != QProcess::NotRunning)
        QThread::msleep(20);
    ASSERT_EQ(QDir(jobs).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 6)
        << first.readAllStandardError().constData();
    first.kill();
    first.waitForFinished(10000);
    const qint64 pid = gatewayPid();
    ASSERT_GT(pid, 0);

    // Every job ends COMPLETE with nobody asking.
    const auto completed = [&jobs] {
        int complete = 0;
        for (const QString& id : QDir(jobs).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            complete +=
                readJson(jobs + u'/' + id + u"/job.json"_s).value(u"state"_s).toString() == u"COMPLETE"_s;
        return complete;
    };
    const QDeadlineTimer finished(runLimitMs());
    while (completed() < 6 && !finished.hasExpired())
        QThread::msleep(100);
    EXPECT_EQ(completed(), 6);
    EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0) << "the gateway ended with the killed run";

    QProcess second;
    configure(second, changes);
    second.setStandardInputFile(QProcess::nullDevice());
    second.start(executable(), {u"transcribe"_s, session.folder});
    QElapsedTimer clock;
    clock.start();
    const Run run = finish(second, clock);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(gatewayPid(), pid) << "the gateway was started again";
    EXPECT_EQ(QDir(jobs).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 6) << "a chunk was sent again";
    expectFinalDocuments(session);
}

TEST_F(TranscribeProcessTest, ItRefusesWhatItCannotWorkOnWithALineAndStatusOne)
{
    const PreparedSession session = prepare(recordings(), filler(1));
    GatewayProcess gateway(folder_.file(u"gateway"_s), scenario(4));

    // No token.
    setSetting(u"glossenGatewayBaseURL"_s, gateway.baseURL());
    Run run = transcribe({session.folder});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains(u"not configured"_s) && run.err.contains(u"glossenGatewayToken"_s))
        << run.err.toStdString();
    setSetting(u"glossenGatewayToken"_s, gatewayToken);

    // A folder that holds no session.
    const QString empty = folder_.file(u"not-a-session"_s);
    QDir().mkpath(empty);
    run = transcribe({empty});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains(empty + u" is not a session folder"_s)) << run.err.toStdString();

    // A session without end time (recording, or interrupted and not repaired).
    const PreparedSession open = prepare(folder_.file(u"open"_s), filler(1));
    QJsonObject metadata = readJson(open.folder + u"/metadata.json"_s);
    ASSERT_TRUE(metadata.contains(u"end_time"_s));
    metadata.remove(u"end_time"_s);
    metadata.remove(u"duration"_s);
    TemporaryFolder::writeAll(open.folder + u"/metadata.json"_s, QJsonDocument(metadata).toJson());
    run = transcribe({open.folder});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains(open.folder + u" has no end time"_s) &&
                run.err.contains(u"ebbcast recover"_s))
        << run.err.toStdString();

    // A session another process works on.
    {
        const FileLock held(session.folder + u"/.ebbcast_transcription.lock"_s);
        run = transcribe({session.folder});
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_TRUE(run.err.contains(u"Another Ebbcast process is working on "_s + session.folder))
            << run.err.toStdString();
    }

    // Usage errors.
    run = transcribe({});
    EXPECT_EQ(run.exitCode, 2) << run.err.toStdString();
    run = transcribe({session.folder, open.folder});
    EXPECT_EQ(run.exitCode, 2) << run.err.toStdString();

    // None of them reached the gateway or touched a chunk.
    EXPECT_TRUE(gateway.requests().isEmpty());
    for (const auto& [name, record] : chunkDocuments(session))
        EXPECT_TRUE(record.status.isEmpty()) << name.toStdString();

    // Once the lock is free, the same session goes through.
    run = transcribe({session.folder});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    expectEveryChunkTranscribed(session, gateway.requests(), 4);
}

// Ctrl-C while the gateway never answers a poll: status 1, a line naming the command that goes on, and the
// chunks left accepted with their jobs, for that command to poll again.
TEST_F(TranscribeProcessTest, CtrlCWhileWaitingOnTheGatewayEndsWithStatusOneAndTheCommandToRunAgain)
{
    const PreparedSession session = prepare(recordings(), filler(1));
    const QJsonArray hangingPolls{
        QJsonObject{{u"route"_s, u"job"_s}, {u"request"_s, 1}, {u"sticky"_s, true}, {u"fault"_s, u"hang"_s}}};
    GatewayProcess gateway(folder_.file(u"gateway"_s), scenario(4, hangingPolls));
    useGateway(gateway);

    QProcess process;
    startTranscribe(process, {session.folder});
    QElapsedTimer clock;
    clock.start();
    const QDeadlineTimer deadline(runLimitMs());
    qsizetype polls = 0;
    while (polls < 2 && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        polls = 0;
        for (const LoggedRequest& request : gateway.requests())
            polls += request.route == u"job"_s ? 1 : 0;
        if (polls < 2)
            QThread::msleep(20);
    }
    ASSERT_EQ(polls, 2) << process.readAllStandardError().toStdString();
    ASSERT_EQ(::kill(static_cast<pid_t>(process.processId()), SIGINT), 0);
    const Run run = finish(process, clock);
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(u"Run 'ebbcast transcribe "_s + session.folder + u"' again"_s))
        << run.err.toStdString();

    for (const auto& [name, record] : chunkDocuments(session)) {
        EXPECT_EQ(record.status, u"accepted"_s) << name.toStdString();
        EXPECT_FALSE(record.jobID.isEmpty()) << name.toStdString();
    }
    EXPECT_FALSE(QFileInfo(session.folder + u"/transcripts/01 Clean Transcript.md"_s).exists());
}

// One chunk's upload always fails (every upload from the session's last one on is refused): status 1, the
// final documents written all the same and naming the failure, the summary counting it.
TEST_F(TranscribeProcessTest, AChunkWhoseUploadAlwaysFailsEndsWithStatusOneAndTheDocumentsWritten)
{
    const PreparedSession session = prepare(recordings(), filler(2));
    ASSERT_EQ(session.chunks.size(), 4U);
    const QJsonArray refusedFromTheFourth{QJsonObject{{u"route"_s, u"upload"_s},
                                                      {u"request"_s, 4},
                                                      {u"sticky"_s, true},
                                                      {u"fault"_s, u"status"_s},
                                                      {u"status"_s, 500},
                                                      {u"body"_s, u"{\"error\":\"storage is down\"}"_s}}};
    GatewayProcess gateway(folder_.file(u"gateway"_s), scenario(4, refusedFromTheFourth));
    useGateway(gateway);

    const Run run = transcribe({session.folder});
    EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
    std::cout << "run: " << run.elapsedMs << " ms\n";

    std::map<QString, int> refused;
    for (const LoggedRequest& request : gateway.requests()) {
        if (request.isUpload() && !request.trouble.isEmpty())
            ++refused[request.fileName];
    }
    ASSERT_EQ(refused.size(), 1U) << run.err.toStdString();
    const QString failed = refused.begin()->first;
    EXPECT_EQ(refused.begin()->second, 4) << "four attempts";

    const std::map<QString, ChunkRecord> documents = chunkDocuments(session);
    const std::map<QString, ChunkRecord> live = liveChunks(session);
    for (const auto& [name, record] : documents) {
        const QString status = name == failed ? u"upload_failed"_s : u"complete"_s;
        EXPECT_EQ(record.status, status) << name.toStdString();
        EXPECT_EQ(live.at(name).status, status) << name.toStdString();
    }
    EXPECT_TRUE(run.err.contains(u"ebbcast: "_s + failed + u": upload_failed"_s)) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(u"ebbcast: Chunks: 4 (3 complete, 1 upload_failed)"_s))
        << run.err.toStdString();
    expectFinalDocuments(session);
    const QJsonObject timeline = readJson(session.folder + u"/transcripts/02 Timeline.json"_s);
    int failedInTimeline = 0;
    for (const QJsonValue chunk : timeline.value(u"chunks"_s).toArray())
        failedInTimeline +=
            chunk.toObject().value(u"transcription_status"_s).toString() == u"upload_failed"_s;
    EXPECT_EQ(failedInTimeline, 1);
    EXPECT_TRUE(TemporaryFolder::readAll(session.folder + u"/transcripts/00 Session Brief.md"_s)
                    .contains("1 chunk(s) failed"));
}

// Crash trials: "ebbcast transcribe" killed with SIGKILL at a random moment (in some trials its next run
// too), then run until it succeeds. Every chunk ends complete with its own job's text; no chunk is uploaded
// again unless it had no status or a failed upload at the kill (then once per run at most), and a chunk that
// was complete at a kill is not asked about again.
TEST_F(TranscribeProcessTest, KilledAtRandomMomentsItResumesWithoutDuplicatesOrLoss)
{
    constexpr int trials = 20;
    constexpr int chunksPerTrack = 3;
    constexpr int scriptedJobs = 40;
    const QStringList delay{u"--reply-delay-ms"_s, u"100:600"_s};
    QElapsedTimer total;
    total.start();

    // How long an undisturbed run takes here and now: the kills fall anywhere within it.
    qint64 runMs = 0;
    {
        const PreparedSession session = prepare(folder_.file(u"calibration"_s), filler(chunksPerTrack));
        GatewayProcess gateway(folder_.file(u"calibration-gateway"_s), scenario(scriptedJobs), delay);
        useGateway(gateway);
        const Run run = transcribe({session.folder});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        runMs = run.elapsedMs;
        expectEveryChunkTranscribed(session, gateway.requests(), scriptedJobs);
    }
    std::cout << "an undisturbed run: " << runMs << " ms\n";

    for (int trial = 0; trial < trials; ++trial) {
        const quint32 seed = 7100 + static_cast<quint32>(trial);
        QRandomGenerator random(seed);
        SCOPED_TRACE(
            u"trial %1, seed %2, undisturbed run %3 ms"_s.arg(trial).arg(seed).arg(runMs).toStdString());
        const QString trialFolder = folder_.file(u"trial-%1"_s.arg(trial));
        const PreparedSession session = prepare(trialFolder + u"/Recordings"_s, filler(chunksPerTrack));
        GatewayProcess gateway(trialFolder + u"/gateway"_s, scenario(scriptedJobs), delay);
        useGateway(gateway);

        // The runs: statuses after each, and where its requests end in the log.
        std::vector<std::map<QString, ChunkRecord>> after;
        std::vector<qsizetype> logEnds;
        QStringList runs;
        const int kills = random.bounded(3) == 0 ? 2 : 1;
        bool succeeded = false;
        for (int run = 0; run < kills + 3 && (run < kills || !succeeded); ++run) {
            std::optional<int> killAfter;
            if (run < kills)
                killAfter = static_cast<int>(random.bounded(static_cast<quint32>(runMs) + 1));
            const Run ran = transcribe({session.folder}, killAfter);
            runs.append(ran.killed ? u"killed at %1 ms"_s.arg(*killAfter)
                                   : u"ended with %1 after %2 ms"_s.arg(ran.exitCode).arg(ran.elapsedMs));
            if (!ran.killed) {
                EXPECT_EQ(ran.exitCode, 0) << "run " << run << ": " << ran.err.toStdString();
                succeeded = ran.exitCode == 0;
            }
            logEnds.push_back(gateway.settle(u"marker-%1"_s.arg(run)));
            after.push_back(chunkDocuments(session));
        }
        SCOPED_TRACE(u"runs: "_s.append(runs.join(u", "_s)).toStdString());
        ASSERT_TRUE(succeeded) << "no run succeeded";

        const QList<LoggedRequest> requests = gateway.requests();
        std::map<QString, QString> chunkOfJob;
        for (const LoggedRequest& request : requests) {
            if (request.isUpload() && !request.jobID.isEmpty())
                chunkOfJob[request.jobID] = request.fileName;
        }
        const std::map<QString, ChunkRecord> ended = chunkDocuments(session);
        for (size_t run = 1; run < logEnds.size(); ++run) {
            std::map<QString, int> uploads;
            std::map<QString, int> asked; // any request about the chunk or its jobs
            for (qsizetype index = logEnds[run - 1]; index < logEnds[run]; ++index) {
                const LoggedRequest& request = requests[index];
                if (GatewayProcess::isMarker(request))
                    continue;
                EXPECT_TRUE(request.violations.isEmpty()) << request.violations.join(u"; "_s).toStdString();
                const QString chunk = request.isUpload() ? request.fileName : chunkOfJob[request.jobID];
                uploads[chunk] += request.isUpload() ? 1 : 0;
                ++asked[chunk];
            }
            for (const auto& [name, record] : after[run - 1]) {
                SCOPED_TRACE(
                    u"run %1: %2 was \"%3\" before"_s.arg(run).arg(name, record.status).toStdString());
                const bool mayUpload = record.status.isEmpty() || record.status == u"upload_failed"_s;
                EXPECT_LE(uploads[name], mayUpload ? 1 : 0);
                if (record.status == u"complete"_s) {
                    EXPECT_EQ(asked[name], 0);
                    EXPECT_EQ(ended.at(name).jobID, record.jobID);
                    EXPECT_EQ(ended.at(name).text, record.text);
                }
            }
        }
        expectEveryChunkTranscribed(session, requests, scriptedJobs);
        EXPECT_TRUE(stagedStrays(session).isEmpty()) << stagedStrays(session).join(u", "_s).toStdString();
        expectCompleteFinalDocuments(session);

        QStringList atKill;
        for (const auto& [name, record] : after.front())
            atKill.append(record.status.isEmpty() ? u"-"_s : record.status);
        std::cout << "trial " << trial << ": " << runs.join(u", "_s).toStdString()
                  << "; statuses after the first: " << atKill.join(u' ').toStdString() << "\n";
        if (HasFatalFailure())
            return;
    }
    std::cout << "crash trials: " << total.elapsed() << " ms\n";
}

} // namespace
} // namespace ebbcast
