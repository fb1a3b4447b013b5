#include "support/PreparedSession.h"

#include "core/base/BuildInfo.h"
#include "core/documents/MetadataWriter.h"
#include "core/documents/SessionFolder.h"
#include "core/documents/Timecode.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <cmath>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

// Each system-audio chunk begins this long after the microphone chunk of the same index, as the first
// system-audio buffer arrives after the session's start.
constexpr qint64 systemAudioLagMs = 40;
// The stop comes this long after the last chunk ended.
constexpr qint64 stopLagMs = 300;
constexpr double clockOffsetMs = 12.5;
constexpr double clockRoundTripMs = 31.25;

[[noreturn]] void fail(const QString& what)
{
    throw std::runtime_error(QString(u"preparing a session: "_s + what).toStdString());
}

void run(const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        fail(u"%1 does not run: %2"_s.arg(program, process.errorString()));
    process.waitForFinished(120000);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        fail(program + u" did not end"_s);
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        fail(u"%1 %2 failed: %3"_s.arg(program, arguments.join(u' '),
                                       QString::fromLocal8Bit(process.readAll()).trimmed()));
}

// A tone whose pitch tells the chunk apart.
int pitchOf(const RecordingChunkMetadata& chunk)
{
    return static_cast<int>(220 + 20 * chunk.index + (chunk.kind == u"microphone"_s ? 0 : 10));
}

void writeAudio(const RecordingChunkMetadata& chunk, double seconds)
{
    const QString length = QString::number(seconds, 'f', 3);
    if (chunk.kind == u"microphone"_s) {
        run(u"sox"_s, {u"-n"_s, u"-r"_s, u"48000"_s, u"-c"_s, u"1"_s, u"-e"_s, u"floating-point"_s, u"-b"_s,
                       u"32"_s, chunk.filePath, u"synth"_s, length, u"sine"_s,
                       QString::number(pitchOf(chunk)), u"gain"_s, u"-6"_s});
    } else {
        run(u"ffmpeg"_s,
            {u"-nostdin"_s, u"-hide_banner"_s, u"-loglevel"_s, u"error"_s, u"-y"_s, u"-f"_s, u"lavfi"_s,
             u"-i"_s, u"sine=frequency=%1:sample_rate=48000:duration=%2"_s.arg(pitchOf(chunk)).arg(length),
             u"-ac"_s, u"2"_s, u"-c:a"_s, u"aac"_s, u"-b:a"_s, u"128k"_s, chunk.filePath});
    }
}

// `size` bytes: a line naming the chunk, then the filler.
void writeFiller(const RecordingChunkMetadata& chunk, qint64 size, const QByteArray& filler)
{
    const QByteArray stamp =
        (u"ebbcast prepared chunk "_s + chunk.kind + u' ' + QString::number(chunk.index) + u'\n').toUtf8();
    QFile file(chunk.filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(u"cannot write %1: %2"_s.arg(chunk.filePath, file.errorString()));
    const qint64 head = std::min<qint64>(stamp.size(), size);
    bool written = file.write(stamp.constData(), head) == head;
    if (written && size > head)
        written = file.write(filler.constData() + head, size - head) == size - head;
    if (!written)
        fail(u"cannot write %1: %2"_s.arg(chunk.filePath, file.errorString()));
}

// The members the recording session fills in from its document when a chunk is reported.
void completeSessionMembers(RecordingChunkMetadata& chunk, const SessionMetadata& session)
{
    const double startOffset = static_cast<double>(session.startTime.msecsTo(chunk.startTime)) / 1000.0;
    const double endOffset = static_cast<double>(session.startTime.msecsTo(chunk.endTime)) / 1000.0;
    chunk.sessionStartTime = session.startTime;
    chunk.startOffsetSeconds = startOffset;
    chunk.endOffsetSeconds = endOffset;
    chunk.timecodeStart = timecode(startOffset);
    chunk.timecodeEnd = timecode(endOffset);
    if (!session.clockSync) {
        chunk.clockSyncStatus = u"not_configured"_s;
        return;
    }
    const ClockSyncSample& best = *session.clockSync->bestSample;
    const auto offsetMs = static_cast<qint64>(std::llround(best.estimatedOffsetMilliseconds));
    chunk.clockSyncStatus = session.clockSync->status;
    chunk.serverStartTime = chunk.startTime.addMSecs(offsetMs);
    chunk.serverEndTime = chunk.endTime.addMSecs(offsetMs);
    chunk.clockOffsetMilliseconds = best.estimatedOffsetMilliseconds;
    chunk.clockRoundTripMilliseconds = best.roundTripMilliseconds;
}

ClockSyncMetadata syncedClock(const QDateTime& startTime)
{
    ClockSyncMetadata clock;
    clock.provider = u"server"_s;
    clock.url = u"http://127.0.0.1:9/time"_s;
    for (int i = 0; i < 3; ++i) {
        ClockSyncSample sample;
        sample.clientSendTime = startTime.addMSecs(-400 + 100 * i);
        sample.roundTripMilliseconds = clockRoundTripMs + 10 * i;
        sample.clientReceiveTime = sample.clientSendTime.addMSecs(std::llround(sample.roundTripMilliseconds));
        sample.clientSendMonotonic = 1000.0 + 0.1 * i;
        sample.clientReceiveMonotonic = sample.clientSendMonotonic + sample.roundTripMilliseconds / 1000.0;
        sample.estimatedOffsetMilliseconds = clockOffsetMs + i;
        sample.serverTime = sample.clientSendTime.addMSecs(
            std::llround(sample.roundTripMilliseconds / 2 + sample.estimatedOffsetMilliseconds));
        clock.samples.push_back(sample);
    }
    clock.bestSample = clock.samples.front(); // the shortest round trip
    clock.status = u"synced"_s;
    return clock;
}

// A document as a reader finds it: the stored dates have whole seconds.
template <typename Document>
Document asStored(const Document& document)
{
    std::optional<Document> decoded = Document::fromJson(document.toJson());
    if (!decoded)
        fail(u"a document does not decode"_s);
    return *std::move(decoded);
}

} // namespace

PreparedSession prepareStoppedSession(const QString& recordingsFolder, const PreparedSessionOptions& options)
{
    const qint64 chunkMs = std::llround(options.chunkSeconds * 1000.0);
    const int tracksLong = std::max(options.microphoneChunks, options.systemAudioChunks);
    const qint64 chunksEndMs = tracksLong * chunkMs + (options.systemAudioChunks > 0 ? systemAudioLagMs : 0);
    const QDateTime startTime =
        options.startTime.value_or(QDateTime::currentDateTimeUtc().addMSecs(-(chunksEndMs + stopLagMs)));
    const QDateTime endTime = startTime.addMSecs(chunksEndMs + stopLagMs);

    PreparedSession prepared;
    prepared.sessionID = SessionFolder::sessionID(startTime);
    prepared.folder = SessionFolder::create(recordingsFolder, prepared.sessionID);
    const QString chunkFolder = prepared.folder + u"/chunks"_s;
    if (!QDir().mkpath(chunkFolder))
        fail(u"cannot create "_s + chunkFolder);

    SessionMetadata& session = prepared.metadata;
    session.sessionID = prepared.sessionID;
    session.startTime = startTime;
    session.endTime = endTime;
    session.duration = static_cast<double>(startTime.msecsTo(endTime)) / 1000.0;
    session.activeAppName = u"Text Editor"_s;
    session.activeAppBundleID = u"org.gnome.TextEditor"_s;
    session.recorder = {options.recorderID, options.recorderName};
    if (options.clockSync)
        session.clockSync = syncedClock(startTime);
    session.display = {1, 1920, 1080, u"Screen 1"_s};
    session.audioDevices = {u"Default microphone"_s, u"ScreenCaptureKit system audio"_s};
    session.systemAudioCapture = SystemAudioCaptureMetadata::unavailable();
    if (options.systemAudioChunks > 0) {
        SystemAudioCaptureMetadata& capture = session.systemAudioCapture;
        capture.status = u"capturing"_s;
        capture.bufferCount = options.systemAudioChunks * chunkMs / 10; // a buffer every 10 ms
        capture.firstBufferAt = startTime.addMSecs(systemAudioLagMs);
        capture.lastLevel = 0.25F;
        capture.note =
            u"System audio came from ScreenCaptureKit audio sample buffers, not microphone input."_s;
    }
    session.files = {prepared.folder + u"/screen.mov"_s, prepared.folder + u"/system_audio.m4a"_s,
                     prepared.folder + u"/microphone.wav"_s, prepared.folder + u"/metadata.json"_s};
    session.appVersion = QString::fromLatin1(BuildInfo::version);

    // The chunks as the recorders report them, interleaved by start time.
    std::vector<RecordingChunkMetadata>& chunks = prepared.chunks;
    for (int index = 1; index <= tracksLong; ++index) {
        const auto add = [&](const QString& kind, const char* name, const QString& extension, qint64 lagMs) {
            RecordingChunkMetadata chunk;
            chunk.index = index;
            chunk.kind = kind;
            chunk.startTime = startTime.addMSecs((index - 1) * chunkMs + lagMs);
            chunk.endTime = chunk.startTime.addMSecs(chunkMs);
            chunk.duration = static_cast<double>(chunkMs) / 1000.0;
            chunk.filePath = chunkFolder + u'/' + QString::asprintf("%s_%04d", name, index) + extension;
            completeSessionMembers(chunk, session);
            chunks.push_back(asStored(chunk));
        };
        if (index <= options.microphoneChunks)
            add(u"microphone"_s, "mic_chunk", u".wav"_s, 0);
        if (index <= options.systemAudioChunks)
            add(u"system_audio"_s, "system_chunk", u".m4a"_s, systemAudioLagMs);
    }

    QByteArray filler;
    if (!options.realAudio) {
        filler.resize(options.fileBytes);
        for (qsizetype i = 0; i < filler.size(); ++i)
            filler[i] = static_cast<char>('a' + i % 26);
    }
    for (const RecordingChunkMetadata& chunk : chunks) {
        if (options.realAudio)
            writeAudio(chunk, chunk.duration);
        else
            writeFiller(chunk, options.fileBytes, filler);
        MetadataWriter::write(chunk, MetadataWriter::chunkDocumentPath(chunk.filePath));
        prepared.chunkPaths.append(chunk.filePath);
    }
    session.liveChunks = chunks;
    MetadataWriter::write(session, session.files.metadata);
    session = asStored(session);
    return prepared;
}

} // namespace ebbcast::test
