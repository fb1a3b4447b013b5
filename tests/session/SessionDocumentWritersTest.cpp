// Three writers of one session's documents at once, again and again: the recording session appending chunks
// and markers, the chunk pipeline recording transcription outcomes, and a second process rewriting members of
// its own through the same locked read-modify-write. Whatever any of them wrote must be there at the end.

#include "capture/AppActivityMonitor.h"
#include "capture/PermissionManager.h"
#include "capture/Recorder.h"
#include "clocksync/ClockSyncManager.h"
#include "core/base/Logger.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "core/documents/SessionMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "session/ActivityInhibitor.h"
#include "session/AlertPresenter.h"
#include "session/RecorderFactory.h"
#include "session/RecordingSession.h"
#include "support/FakeFrontmostApplicationSource.h"
#include "support/ManualClock.h"
#include "support/NullChunkPipelinePorts.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"
#include "transcription/ChunkPipelinePorts.h"
#include "transcription/GlossenChunkPipeline.h"
#include "transcription/TranscriptFinalizerPorts.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Under a sanitizer build everything runs several times slower: fewer runs keep the test within its time-out.
const int runs = static_cast<int>(200 / test::timingScale());
// Chunks from the microphone and from the system audio in a run, plus one the microphone reports at the stop.
// Every twentieth run is long: 51 chunks, so 51 outcomes are written while the session appends; the document
// grows to some 50 KB and each of its writes costs accordingly, so the other runs are short.
constexpr int shortRunChunksPerTrack = 5;
constexpr int longRunChunksPerTrack = 25;
constexpr int longRunEvery = 20;
constexpr int markersPerRun = 5;

// A track that captures nothing: the test has it report finished chunks from a thread of its own, as a
// recorder's capture thread does. The microphone's reports one more chunk while it stops.
class ReportingTrack final : public Recorder {
public:
    ReportingTrack(QString name, QString kind, QString chunkFolder, QString fileStem, QString suffix,
                   bool chunkAtStop)
        : name_(std::move(name))
        , kind_(std::move(kind))
        , chunkFolder_(std::move(chunkFolder))
        , fileStem_(std::move(fileStem))
        , suffix_(std::move(suffix))
        , chunkAtStop_(chunkAtStop)
    {}

    QString trackName() const override { return name_; }
    QCoro::Task<> prepare(SessionMetadata& document) override
    {
        Q_UNUSED(document);
        co_return;
    }
    QCoro::Task<> start(const QDateTime& timelineStart) override
    {
        start_ = timelineStart;
        co_return;
    }
    QCoro::Task<> stop() override
    {
        if (chunkAtStop_ && !chunkFolder_.isEmpty())
            report(reported_ + 1);
        co_return;
    }
    std::optional<TrackInterruption> interruption() const override { return std::nullopt; }
    bool hasRecorded() const override { return true; }

    // Writes chunk `index`'s audio file and reports it.
    void report(qint64 index)
    {
        RecordingChunkMetadata chunk;
        chunk.index = index;
        chunk.kind = kind_;
        chunk.startTime = start_.addSecs(index - 1);
        chunk.endTime = start_.addSecs(index);
        chunk.duration = 1.0;
        chunk.filePath = chunkFolder_ + u'/' + fileStem_ + QString::asprintf("_%04lld.", index) + suffix_;
        QDir().mkpath(chunkFolder_);
        test::TemporaryFolder::writeAll(chunk.filePath, "RIFF....WAVE");
        reported_ = index;
        onChunkCompleted(chunk, chunk.filePath);
    }

    const QString& kind() const { return kind_; }

private:
    QString name_;
    QString kind_;
    QString chunkFolder_;
    QString fileStem_;
    QString suffix_;
    bool chunkAtStop_;
    QDateTime start_;
    qint64 reported_ = 0;
};

class ReportingTracks final : public RecorderFactory {
public:
    std::unique_ptr<Recorder> makeMicRecorder(const QString& outputPath, const QString& chunkFolder,
                                              const QString& preferredDeviceName, Logger& logger) override
    {
        Q_UNUSED(outputPath);
        Q_UNUSED(preferredDeviceName);
        Q_UNUSED(logger);
        auto track = std::make_unique<ReportingTrack>(u"the microphone"_s, u"microphone"_s, chunkFolder,
                                                      u"mic_chunk"_s, u"wav"_s, true);
        microphone = track.get();
        return track;
    }
    std::unique_ptr<Recorder> makeSystemAudioRecorder(const QString& outputPath, const QString& chunkFolder,
                                                      Logger& logger) override
    {
        Q_UNUSED(outputPath);
        Q_UNUSED(logger);
        auto track = std::make_unique<ReportingTrack>(u"the system audio"_s, u"system_audio"_s, chunkFolder,
                                                      u"system_chunk"_s, u"m4a"_s, false);
        systemAudio = track.get();
        return track;
    }
    std::unique_ptr<Recorder> makeScreenRecorder(const QString& outputPath, quint32 displayID,
                                                 Logger& logger) override
    {
        Q_UNUSED(outputPath);
        Q_UNUSED(displayID);
        Q_UNUSED(logger);
        return std::make_unique<ReportingTrack>(u"the screen"_s, QString(), QString(), QString(), QString(),
                                                false);
    }
    std::optional<double> recordedAudioSeconds(const QString& path) const override
    {
        Q_UNUSED(path);
        return std::nullopt;
    }

    ReportingTrack* microphone = nullptr;
    ReportingTrack* systemAudio = nullptr;
};

class NoInhibition final : public ActivityInhibitor {
public:
    void begin(const QString& reason) override { Q_UNUSED(reason); }
    void end() override {}
};

class CollectedAlerts final : public AlertPresenter {
public:
    void showError(const QString& message) override { messages.append(message); }
    QStringList messages;
};

// The gateway answering at once: every upload accepted as a job of its own, every job complete with one
// transcript "t<chunk index>".
class InstantGateway final : public ChunkTranscriptionGateway {
public:
    QCoro::Task<GlossenUploadResponse> uploadChunk(const QString& sessionID,
                                                   const GlossenChunkUploadMetadata& metadata,
                                                   const QString& filePath) override
    {
        Q_UNUSED(sessionID);
        const QString id = u"job-"_s + QString::number(++uploads_);
        texts_[id] = u"t"_s + QString::number(metadata.chunkIndex);
        jobOfFile[QFileInfo(filePath).fileName()] = id;
        GlossenUploadResponse accepted;
        accepted.gatewayJobID = id;
        accepted.ebbcastChunkID = u"chunk-"_s + id;
        accepted.statusURL = u"http://127.0.0.1:9/jobs/"_s + id;
        co_return accepted;
    }
    QCoro::Task<GlossenJobStatus> getJob(const QString& gatewayJobID) override
    {
        GlossenJobStatus status;
        status.job.gatewayJobID = gatewayJobID;
        status.job.state = u"COMPLETE"_s;
        status.job.glossenJobID = u"g-"_s + gatewayJobID;
        co_return status;
    }
    QCoro::Task<GlossenArtifactsResponse> listArtifacts(const QString& gatewayJobID) override
    {
        GlossenArtifact artifact;
        artifact.id = gatewayJobID.mid(4).toLongLong();
        artifact.artifactType = u"transcript-txt"_s;
        artifact.sizeBytes = texts_.at(gatewayJobID).toUtf8().size();
        GlossenArtifactsResponse listed;
        listed.gatewayJobID = gatewayJobID;
        listed.artifacts.push_back(artifact);
        co_return listed;
    }
    QCoro::Task<QByteArray> downloadArtifact(const QString& gatewayJobID, qint64 artifactID,
                                             std::optional<qint64> sizeBytes) override
    {
        Q_UNUSED(artifactID);
        Q_UNUSED(sizeBytes);
        const QByteArray text = texts_.at(gatewayJobID).toUtf8();
        co_return text;
    }

    std::map<QString, QString> jobOfFile; // audio file name -> the job its upload became (this run)

private:
    qint64 uploads_ = 0;
    std::map<QString, QString> texts_;
};

RecordingSession::Settings sessionSettings(const QString& recordingFolder)
{
    RecordingSession::Settings settings;
    settings.recordingFolder = recordingFolder;
    return settings;
}

QCoro::Task<void> noPause(std::chrono::milliseconds duration)
{
    Q_UNUSED(duration);
    co_return;
}

// Runs the event loop until `done` holds. False when `limit` passes first: that is a hang, never a verdict on
// how fast anything was.
bool runUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60))
{
    QTimer wake; // looks at `done` now and then even when nothing else happens
    wake.start(20);
    const QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The sessions' folder: in memory where the machine has a tmpfs at /dev/shm, since every write of the
// documents is synced and 200 sessions on a disk would take minutes; the locking and the atomic replaces are
// the same there.
class SessionsFolder {
public:
    SessionsFolder()
        : memory_(u"/dev/shm/ebbcast-writers-XXXXXX"_s)
    {
        if (!memory_.isValid())
            disk_.emplace();
    }
    QString path() const { return disk_ ? disk_->path() : memory_.path(); }

private:
    QTemporaryDir memory_;
    std::optional<QTemporaryDir> disk_;
};

// The probe process on one session folder.
class RewriteProbe {
public:
    explicit RewriteProbe(const QString& sessionFolder)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                         [this] { output_ += process_.readAllStandardOutput(); });
        process_.start(QStringLiteral(EBBCAST_SESSION_DOCUMENT_PROBE), {sessionFolder});
    }
    ~RewriteProbe()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(10'000);
        }
    }

    // Passes completed so far, as far as its output has been read.
    int passes() const { return static_cast<int>(output_.count("pass ")); }

    // Ends the probe after the pass under way; its report, or nothing (the failure in `problem`).
    std::optional<QJsonObject> finish(QString& problem)
    {
        process_.closeWriteChannel();
        if (!runUntil([this] { return process_.state() == QProcess::NotRunning; })) {
            problem = u"the probe did not end"_s;
            return std::nullopt;
        }
        output_ += process_.readAllStandardOutput();
        if (process_.exitStatus() != QProcess::NormalExit || process_.exitCode() != 0) {
            problem = u"the probe failed with status "_s + QString::number(process_.exitCode());
            return std::nullopt;
        }
        const QList<QByteArray> lines = output_.trimmed().split('\n');
        const QJsonDocument report = QJsonDocument::fromJson(lines.last());
        if (!report.isObject()) {
            problem = u"the probe's report is not JSON: "_s + QString::fromUtf8(lines.last());
            return std::nullopt;
        }
        return report.object();
    }

private:
    QProcess process_;
    QByteArray output_;
};

// What went wrong across the runs: how often each kind of fault happened, with the first examples.
class Findings {
public:
    void add(const QString& kind, const QString& example)
    {
        ++counts_[kind];
        if (examples_.size() < 12)
            examples_.append(kind + u": "_s + example);
    }
    bool empty() const { return counts_.empty(); }
    std::string summary() const
    {
        QString text;
        for (const auto& [kind, count] : counts_)
            text += kind + u": "_s + QString::number(count) + u" times\n"_s;
        text += u"first:\n  "_s + examples_.join(u"\n  "_s);
        return text.toStdString();
    }

private:
    std::map<QString, int> counts_;
    QStringList examples_;
};

class SessionDocumentWritersTest : public ::testing::Test {
protected:
    SessionDocumentWritersTest()
    {
        QObject::connect(&session_, &RecordingSession::chunkCompleted, &pipeline_,
                         &GlossenChunkPipeline::enqueueGlossenChunkUpload);
        QObject::connect(&session_, &RecordingSession::chunkCompleted,
                         [this](const QString& sessionFolder, const QString& file) {
                             Q_UNUSED(sessionFolder);
                             if (!file.endsWith(u".json"_s))
                                 chunkHandled(file);
                         });
        QObject::connect(&pipeline_, &GlossenChunkPipeline::chunkOutcome,
                         [this](const QString& sessionFolder, const QString& chunkFile,
                                ChunkTranscriptionStatus status, const QString& detail) {
                             Q_UNUSED(sessionFolder);
                             Q_UNUSED(detail);
                             const QString name = QFileInfo(chunkFile).fileName();
                             outcomes_[name].push_back(status);
                             {
                                 const std::lock_guard lock(handledLock_);
                                 ++outcomesOf_[name.startsWith(u"mic_"_s) ? 0 : 1];
                             }
                             handledChanged_.notify_all();
                         });
    }

    // Main thread: the session has recorded a chunk report; the track may report its next chunk, and now and
    // then a marker is set.
    void chunkHandled(const QString& file)
    {
        int total = 0;
        {
            const std::lock_guard lock(handledLock_);
            ++handled_[QFileInfo(file).fileName().startsWith(u"mic_"_s) ? 0 : 1];
            total = handled_[0] + handled_[1];
        }
        handledChanged_.notify_all();
        if (total % (2 * chunksPerTrack_ / markersPerRun) == 0 && markersAsked_ < markersPerRun) {
            ++markersAsked_;
            QMetaObject::invokeMethod(
                &session_,
                [this] {
                    session_.createMarker(u"Marker "_s + QString::number(markersMade_ + 1));
                    ++markersMade_;
                },
                Qt::QueuedConnection);
        }
    }

    // A track's capture thread: each chunk once the session has recorded the track's previous one and the
    // pipeline the outcome of the one before, so that the session appends while outcomes are written (and the
    // probe rewrites) all through the recording.
    void reportChunks(ReportingTrack& track, int slot)
    {
        for (int index = 1; index <= chunksPerTrack_; ++index) {
            {
                std::unique_lock lock(handledLock_);
                handledChanged_.wait(lock, [&] {
                    return abandoned_ || (handled_[slot] >= index - 1 && outcomesOf_[slot] >= index - 2);
                });
                if (abandoned_)
                    return;
            }
            track.report(index);
        }
    }

    QString startSession()
    {
        QString started;
        session_.onSessionStarted = [&started](const QString& sessionFolder) {
            started = sessionFolder;
        };
        test::runTask(session_.start(false));
        session_.onSessionStarted = nullptr;
        return started;
    }

    // One run; what it found goes into findings_.
    void run(int number);
    void check(const QString& folder, const QJsonObject& probeReport, const QString& run);

    SessionsFolder sessions_;
    Logger logger_{sessions_.path() + u"/app.log"_s};
    test::ManualClock clock_{QDateTime(QDate(2026, 12, 6), QTime(8, 15, 2), Qt::UTC)};
    QNetworkAccessManager network_;
    PermissionManager permissions_{logger_};
    test::FakeFrontmostApplicationSource frontmost_;
    AppActivityMonitor apps_{frontmost_, {}};
    ClockSyncManager clockSync_{{}, logger_, network_, clock_.wallClock()};
    ReportingTracks tracks_;
    NoInhibition inhibitor_;
    CollectedAlerts alerts_;
    RecordingSession session_{sessionSettings(sessions_.path() + u"/Recordings"_s),
                              permissions_,
                              apps_,
                              clockSync_,
                              logger_,
                              tracks_,
                              inhibitor_,
                              alerts_,
                              clock_.wallClock()};
    InstantGateway gateway_;
    test::NoTranscriptCompletion completion_;
    test::NoFileUploads uploader_;
    test::NoChunkAnnouncements announcer_;
    GlossenChunkPipeline pipeline_{
        {true, false, u"recorder-1"_s, u"Desk"_s, sessions_.path() + u"/Recordings"_s},
        {gateway_, completion_, uploader_, announcer_, {}, logger_},
        {noPause, clock_.wallClock(), 2}};

    std::mutex handledLock_;
    std::condition_variable handledChanged_;
    int handled_[2] = {0, 0};    // microphone, system audio: guarded by handledLock_
    int outcomesOf_[2] = {0, 0}; // the same
    bool abandoned_ = false;     // guarded by handledLock_
    int chunksPerTrack_ = 0;     // this run's
    int markersAsked_ = 0;
    int markersMade_ = 0;
    std::map<QString, std::vector<ChunkTranscriptionStatus>> outcomes_; // by audio file name

    Findings findings_;
    int outcomesRecorded_ = 0;
    int expectedOutcomes_ = 0;
    int probePasses_ = 0;
    int probePassesWhileRecording_ = 0; // begun after the first report, done by the end of the stop
    int outcomesBeforeStops_ = 0;
};

void SessionDocumentWritersTest::run(int number)
{
    const QString name = u"run "_s + QString::number(number);
    chunksPerTrack_ = number % longRunEvery == 0 ? longRunChunksPerTrack : shortRunChunksPerTrack;
    expectedOutcomes_ += 2 * chunksPerTrack_ + 1;
    {
        const std::lock_guard lock(handledLock_);
        handled_[0] = handled_[1] = 0;
        outcomesOf_[0] = outcomesOf_[1] = 0;
    }
    markersAsked_ = markersMade_ = 0;
    outcomes_.clear();
    gateway_.jobOfFile.clear();

    const QString folder = startSession();
    ASSERT_FALSE(folder.isEmpty()) << alerts_.messages.join(u"; "_s).toStdString();
    ASSERT_TRUE(tracks_.microphone && tracks_.systemAudio);
    RewriteProbe probe(folder);
    ASSERT_TRUE(runUntil([&probe] { return probe.passes() > 0; })) << "the probe never completed a pass";
    const int passesBefore = probe.passes();

    std::thread microphone([this] { reportChunks(*tracks_.microphone, 0); });
    std::thread systemAudio([this] { reportChunks(*tracks_.systemAudio, 1); });
    const bool reported = runUntil([this] {
        const std::lock_guard lock(handledLock_);
        return handled_[0] == chunksPerTrack_ && handled_[1] == chunksPerTrack_ &&
               markersMade_ == markersPerRun;
    });
    {
        const std::lock_guard lock(handledLock_);
        abandoned_ = !reported;
    }
    handledChanged_.notify_all();
    microphone.join();
    systemAudio.join();
    ASSERT_TRUE(reported) << "the session did not record the reports";

    // The stop completes the document while outcomes are still being written and the probe rewrites.
    outcomesBeforeStops_ += static_cast<int>(outcomes_.size());
    const auto stopped = test::runTask(session_.stop(false));
    ASSERT_TRUE(stopped && stopped->documentCompleted);
    probePassesWhileRecording_ += probe.passes() - passesBefore;
    ASSERT_TRUE(runUntil([this] { return pipeline_.isIdle(); })) << "the pipeline did not settle";

    QString problem;
    const std::optional<QJsonObject> report = probe.finish(problem);
    ASSERT_TRUE(report.has_value()) << problem.toStdString();
    probePasses_ += report->value(u"passes"_s).toInt();
    check(folder, *report, name);
    QDir(folder).removeRecursively();
    clock_.advance(1.0);
}

void SessionDocumentWritersTest::check(const QString& folder, const QJsonObject& probeReport,
                                       const QString& run)
{
    const auto stored = JsonDocumentFile::readObject(folder + u"/metadata.json"_s);
    const auto session = stored ? SessionMetadata::fromJson(*stored) : std::nullopt;
    if (!session) {
        findings_.add(u"metadata.json unreadable"_s, run);
        return;
    }
    if (!session->endTime)
        findings_.add(u"recording session: end_time missing"_s, run);

    // The recording session's writes: every reported chunk once, with its document; every marker.
    std::map<QString, QJsonObject> entries; // "live_chunks" entries by audio file name
    std::set<QString> markerIDs;
    for (const QJsonValue& entry : stored->value(u"live_chunks"_s).toArray()) {
        const QString file = QFileInfo(entry[u"file_path"_s].toString()).fileName();
        if (entries.contains(file))
            findings_.add(u"recording session: chunk twice in live_chunks"_s, run + u" "_s + file);
        entries[file] = entry.toObject();
    }
    QStringList reported;
    for (int index = 1; index <= chunksPerTrack_ + 1; ++index) {
        reported.append(QString::asprintf("mic_chunk_%04d.wav", index));
        if (index <= chunksPerTrack_)
            reported.append(QString::asprintf("system_chunk_%04d.m4a", index));
    }
    if (entries.size() != static_cast<size_t>(reported.size()))
        findings_.add(u"recording session: live_chunks holds a chunk never reported"_s,
                      run + u": "_s + QString::number(entries.size()) + u" entries"_s);
    for (const SessionMarker& marker : session->markers)
        markerIDs.insert(marker.id);
    if (session->markers.size() != static_cast<size_t>(markersPerRun) ||
        markerIDs.size() != static_cast<size_t>(markersPerRun))
        findings_.add(u"recording session: marker lost"_s,
                      run + u": "_s + QString::number(session->markers.size()) + u" markers"_s);

    const QJsonObject last = probeReport.value(u"last"_s).toObject();
    for (const QString& file : reported) {
        const QString where = run + u" "_s + file;
        const auto entry = entries.find(file);
        if (entry == entries.end()) {
            findings_.add(u"recording session: chunk missing from live_chunks"_s, where);
            continue;
        }
        const QString documentPath = MetadataWriter::chunkDocumentPath(folder + u"/chunks/"_s + file);
        const auto documentObject = JsonDocumentFile::readObject(documentPath);
        const auto document =
            documentObject ? RecordingChunkMetadata::fromJson(*documentObject) : std::nullopt;
        if (!document) {
            findings_.add(u"recording session: chunk document missing or unreadable"_s, where);
            continue;
        }
        const auto liveEntry = RecordingChunkMetadata::fromJson(entry->second);

        // The pipeline's outcome, in both documents.
        const auto outcome = outcomes_.find(file);
        if (outcome == outcomes_.end() ||
            outcome->second != std::vector{ChunkTranscriptionStatus::complete}) {
            findings_.add(u"pipeline: no single complete outcome"_s, where);
        } else {
            ++outcomesRecorded_;
            const QString text = u"t"_s + QString::number(document->index);
            const QString job = gateway_.jobOfFile[file];
            const auto holdsOutcome = [&](const std::optional<RecordingChunkMetadata>& chunk) {
                return chunk && chunk->transcriptionStatus == u"complete"_s &&
                       chunk->transcriptText == text && chunk->gatewayJobID == job &&
                       chunk->glossenJobID == u"g-"_s + job;
            };
            if (!holdsOutcome(document))
                findings_.add(u"pipeline: outcome lost from the chunk document"_s,
                              where + u" "_s + QString::fromUtf8(QJsonDocument(*documentObject).toJson()));
            if (!holdsOutcome(liveEntry))
                findings_.add(u"pipeline: outcome lost from live_chunks"_s,
                              where + u" "_s + QString::fromUtf8(QJsonDocument(entry->second).toJson()));
        }

        // The probe's last writes.
        const QString documentPlace = u"chunks/"_s + QFileInfo(documentPath).fileName();
        if (last.contains(documentPlace)) {
            const qint64 value = last.value(documentPlace).toInteger();
            if (documentObject->value(u"probe_rewrites"_s).toInteger(-1) != value)
                findings_.add(u"probe: last probe_rewrites of a chunk document lost"_s, where);
            if (document->clockRoundTripMilliseconds != static_cast<double>(value))
                findings_.add(u"probe: last clock_round_trip_ms of a chunk document lost"_s, where);
        }
        const QString entryPlace = u"live_chunks/"_s + entry->second.value(u"file_path"_s).toString();
        if (last.contains(entryPlace) &&
            entry->second.value(u"probe_rewrites"_s).toInteger(-1) != last.value(entryPlace).toInteger())
            findings_.add(u"probe: last probe_rewrites of a live_chunks entry lost"_s, where);
    }
    const qint64 sessionValue = last.value(u"metadata.json"_s).toInteger(-1);
    if (stored->value(u"probe_rewrites"_s).toInteger(-2) != sessionValue)
        findings_.add(u"probe: last probe_rewrites of metadata.json lost"_s, run);
    if (session->activeAppName != u"probe pass "_s + QString::number(sessionValue))
        findings_.add(u"probe: last active_app_name of metadata.json lost"_s, run);
    // The probe's earlier writes, each checked by its next pass.
    for (const QJsonValue& lost : probeReport.value(u"lost"_s).toArray()) {
        const QString text = lost.toString();
        const QString member = text.section(u':', 0, 0).section(u' ', -1);
        const QString document = text.startsWith(u"metadata.json"_s) ? u"metadata.json"_s
                                 : text.startsWith(u"chunks/"_s)     ? u"a chunk document"_s
                                                                     : u"a live_chunks entry"_s;
        findings_.add(u"probe: "_s + member + u" of "_s + document + u" lost while the others wrote"_s,
                      run + u" "_s + text);
    }
}

TEST_F(SessionDocumentWritersTest, RecordingTranscriptionAndASecondProcessLoseNoWrite)
{
    const auto began = std::chrono::steady_clock::now();
    int completed = 0;
    while (completed < runs && !HasFatalFailure())
        run(++completed);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("%d runs in %.1f s under %s: %d outcomes recorded (%d before the stops), %d probe passes (%d "
                "while the chunks were reported and the stops ran)\n",
                completed, seconds, qPrintable(sessions_.path()), outcomesRecorded_, outcomesBeforeStops_,
                probePasses_, probePassesWhileRecording_);
    EXPECT_TRUE(findings_.empty()) << findings_.summary();
    if (HasFatalFailure())
        return;
    EXPECT_EQ(outcomesRecorded_, expectedOutcomes_);
    EXPECT_GE(probePassesWhileRecording_, runs) << "the probe hardly overlapped the recordings";
    EXPECT_TRUE(alerts_.messages.isEmpty()) << alerts_.messages.join(u"\n"_s).toStdString();
    logger_.flush();
    const QString log = QString::fromUtf8(test::TemporaryFolder::readAll(logger_.logFilePath()));
    EXPECT_EQ(log.count(u"[ERROR]"_s), 0) << log.toStdString().substr(0, 4000);
}

} // namespace
} // namespace ebbcast
