// A ten-hour session's final transcript set, from the call to the committed set, side by side with the
// one-liners a user would otherwise write:
//   ebbcast_bench_final_transcript [--rounds N] [--pairs N] [--text-bytes N] [--python PATH] ROOT...
//   ebbcast_bench_final_transcript [--pairs N] --once SESSION_FOLDER
// For each ROOT (a folder on disk, one on tmpfs) it makes a session of PAIRS five-minute chunks on each of
// two tracks (120 by default: 240 chunks, ten hours) with about TEXT_BYTES of text each (5000 by default),
// then prints the median, the fastest and the slowest of ROUNDS runs (10 by default) of:
//   - readSessionChunks + writeFinalTranscriptArtifacts, split by the marks its hooks give (the clock, the
//     Drive record and the file writer are called at known points): read, texts, values, encode (the two
//     JSON documents and two layouts, up to the first staged file), files (written and synced), rest;
//   - the same work step by step through the writer's public pieces (readSessionChunks,
//     resolvedTranscriptText, TranscriptAssembly, the document values, TranscriptLayout, DocumentEncoder,
//     StagedFileSet; beside the encoder, QJsonDocument on the same objects for comparison), checked to
//     leave the writer's set byte for byte;
//   - the whole call into an empty "transcripts" folder, over an unchanged set, and with a file writer that
//     does not fsync the staged files (the folder's sync stays; ext4 flushes a file renamed over another);
//   - the call in a process of its own (--once), where every page the call touches is new;
//   - a python3 one-liner and, where jq is installed, a jq one that sort the chunk documents and join their
//     "transcript_text" into one text file, and python3's start alone.
// The runs inside this process keep the memory they free (glibc's mmap and trim thresholds are raised): a
// warm heap, as in a recorder that has run for a while, and the same for every step. The --once process
// keeps the allocator's defaults. The peak resident memory of the --once process, python3 and jq comes from
// GNU time, when installed. The chunk documents are read from the page cache, as they are right after the
// pipeline wrote them.

#include "core/base/Logger.h"
#include "core/json/DocumentEncoder.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/SessionChunks.h"
#include "transcription/StagedFileSet.h"
#include "transcription/TranscriptLayout.h"
#include "transcription/TranscriptSetFixtures.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>

#include <malloc.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

constexpr double goalMilliseconds = 100;
const QString recorderID = u"bench-recorder"_s;
const QDateTime generatedAt(QDate(2026, 12, 12), QTime(18, 0), Qt::UTC);

// The user's choice: sort the chunk documents by start offset, index and kind, join their texts.
const QString pythonJoin =
    u"import json,glob,sys; d=sys.argv[1]; "
    "c=[json.load(open(f)) for f in glob.glob(d+'/chunks/*.json')]; "
    "c.sort(key=lambda j:(j.get('start_offset_seconds',0),j.get('index',0),j.get('kind',''))); "
    "open(sys.argv[2],'w').write('\\n\\n'.join(j['transcript_text'] for j in c if j.get('transcript_text')))"_s;
const QString jqJoin = u"jq -rs 'sort_by(.start_offset_seconds, .index, .kind) "
                       "| map(.transcript_text | select(. != null and . != \"\")) | join(\"\\n\\n\")' "
                       "\"$1\"/chunks/*.json > \"$2\""_s;

struct Figures {
    std::vector<double> runs;

    void add(double milliseconds) { runs.push_back(milliseconds); }
    double median() const
    {
        std::vector<double> sorted = runs;
        std::sort(sorted.begin(), sorted.end());
        const size_t n = sorted.size();
        return n == 0 ? 0 : n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double fastest() const { return runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end()); }
    double slowest() const { return runs.empty() ? 0 : *std::max_element(runs.begin(), runs.end()); }
};

double millisecondsOf(const std::function<void()>& work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

long peakResidentKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

QString fileSystemName(const QString& path)
{
    struct statfs status {};
    if (::statfs(QFile::encodeName(path).constData(), &status) != 0)
        return u"?"_s;
    switch (static_cast<unsigned long>(status.f_type)) {
    case 0x01021994UL:
        return u"tmpfs"_s;
    case 0xEF53UL:
        return u"ext4"_s;
    case 0x58465342UL:
        return u"xfs"_s;
    case 0x9123683EUL:
        return u"btrfs"_s;
    case 0x794C7630UL:
        return u"overlayfs"_s;
    default:
        return u"0x"_s + QString::number(static_cast<unsigned long>(status.f_type), 16);
    }
}

std::unique_ptr<FinalTranscriptWriter> makeWriter(Logger& logger, StagedFileSet::FileWriter fileWriter)
{
    return std::make_unique<FinalTranscriptWriter>(
        FinalTranscriptWriter::Config{recorderID}, logger, FinalTranscriptWriter::DriveRecordSource{},
        FinalTranscriptWriter::DriveFileLink{}, [] { return generatedAt; }, std::move(fileWriter));
}

// Marks taken inside one writer call through the writer's own hooks, in milliseconds from the call's start:
// the clock is asked once the chunk texts are resolved, the Drive record once the assembly and the timeline
// values are built, and the file writer for each staged file.
struct CallProbe {
    QElapsedTimer timer;
    double read = 0;          // readSessionChunks returned
    double textsResolved = 0; // the writer asks for the time
    double valuesBuilt = 0;   // the writer asks for the Drive record
    double firstWrite = -1;   // the first staged file begins
    double writing = 0;       // spent in the file writer (write and fsync of the 8 files)
    double end = 0;           // the call returned, its values freed

    double now() const { return static_cast<double>(timer.nsecsElapsed()) / 1e6; }
};

std::unique_ptr<FinalTranscriptWriter> makeProbedWriter(Logger& logger, CallProbe& probe)
{
    return std::make_unique<FinalTranscriptWriter>(
        FinalTranscriptWriter::Config{recorderID}, logger,
        [&probe](const QString&) -> std::optional<TranscriptDriveRecord> {
            probe.valuesBuilt = probe.now();
            return std::nullopt;
        },
        FinalTranscriptWriter::DriveFileLink{},
        [&probe] {
            probe.textsResolved = probe.now();
            return generatedAt;
        },
        [&probe](const QString& path, const QByteArray& bytes) {
            const double start = probe.now();
            if (probe.firstWrite < 0)
                probe.firstWrite = start;
            StagedFileSet::writeSynced(path, bytes);
            probe.writing += probe.now() - start;
        });
}

void probedCall(FinalTranscriptWriter& writer, CallProbe& probe, const QString& folder,
                const SessionMetadata& session)
{
    probe.firstWrite = -1;
    probe.writing = 0;
    probe.timer.start();
    {
        const std::vector<RecordingChunkMetadata> chunks = readSessionChunks(folder);
        probe.read = probe.now();
        writer.writeFinalTranscriptArtifacts(folder, session, chunks);
    }
    probe.end = probe.now();
}

// The same write as the synced one without fsync: the cost of the syncs, for comparison only.
void writeUnsynced(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

// The writer's work, step by step, through the same public functions it uses.
struct BuiltSet {
    TranscriptAssembly assembly;
    SessionTranscriptTimeline timeline;
    SessionTranscriptProvenance provenance;
    QString brief;
    QString clean;
    QString raw;
    QString plain;
};

struct EncodedSet {
    QByteArray timeline;
    QByteArray provenance;
    QByteArray brief;
    QByteArray clean;
    QByteArray raw;
    QByteArray plain;
};

BuiltSet buildValues(const FinalTranscriptWriter& writer, const QString& folder,
                     const SessionMetadata& session, const std::vector<RecordingChunkMetadata>& chunks)
{
    std::vector<TranscriptEntry> entries;
    entries.reserve(chunks.size());
    for (const RecordingChunkMetadata& chunk : chunks)
        entries.push_back({chunk, writer.resolvedTranscriptText(folder, chunk)});
    BuiltSet set;
    set.assembly =
        TranscriptAssembly::make(session, writer.threadKey(folder), std::move(entries), generatedAt);
    const TranscriptAssembly& assembly = set.assembly;

    set.timeline.sessionID = assembly.sessionID;
    set.timeline.threadKey = assembly.threadKey;
    set.timeline.collectionID = assembly.collectionID;
    set.timeline.status = assembly.status();
    set.timeline.generatedAt = assembly.generatedAt;
    for (const TranscriptEntry& entry : assembly.entries) {
        set.timeline.chunks.push_back(TranscriptTimelineSource::fromChunk(entry.chunk, entry.text));
        if (auto segment = TranscriptTimelineSegment::fromSource(set.timeline.chunks.back()))
            set.timeline.segments.push_back(std::move(*segment));
    }

    // The provenance without a Drive record, as the writer makes it.
    set.provenance.sessionID = assembly.sessionID;
    set.provenance.threadKey = assembly.threadKey;
    set.provenance.collectionID = assembly.collectionID;
    set.provenance.generatedAt = assembly.generatedAt;
    set.provenance.generator = u"Ebbcast "_s + assembly.appVersion;
    for (const TranscriptEntry& entry : assembly.entries) {
        const RecordingChunkMetadata& chunk = entry.chunk;
        TranscriptProvenanceArtifact artifact;
        artifact.sequenceIndex = chunk.index;
        artifact.track = chunk.kind;
        artifact.sourceFile = FinalTranscriptWriter::chunkUploadKey(folder, chunk.filePath);
        artifact.ebbcastChunkID = chunk.ebbcastChunkID;
        artifact.gatewayJobID = chunk.gatewayJobID;
        artifact.glossenJobID = chunk.glossenJobID;
        artifact.gatewayStatusURL = chunk.gatewayStatusURL;
        artifact.transcriptArtifactID = chunk.transcriptArtifactID;
        artifact.transcriptArtifactType = chunk.transcriptArtifactType;
        artifact.transcriptArtifactChecksum = chunk.transcriptArtifactChecksum;
        artifact.transcriptArtifactSizeBytes = chunk.transcriptArtifactSizeBytes;
        set.provenance.sourceArtifacts.push_back(std::move(artifact));
    }
    for (const QLatin1StringView name :
         {FinalTranscriptWriter::briefName, FinalTranscriptWriter::cleanTranscriptName,
          FinalTranscriptWriter::timelineName, FinalTranscriptWriter::rawTranscriptName,
          FinalTranscriptWriter::provenanceName}) {
        TranscriptProvenanceDocument document;
        document.fileName = name;
        set.provenance.generatedDocuments.push_back(std::move(document));
    }

    return set;
}

void layOut(BuiltSet& set)
{
    set.brief = TranscriptLayout::sessionBrief(set.assembly);
    set.clean = TranscriptLayout::cleanTranscript(set.assembly);
    set.raw = TranscriptLayout::rawTranscript(set.assembly);
    set.plain = TranscriptLayout::plainText(set.assembly);
}

struct JsonValues {
    QJsonObject timeline;
    QJsonObject provenance;
};

JsonValues toJson(const BuiltSet& set)
{
    return {set.timeline.toJson(), set.provenance.toJson()};
}

void encodeJson(EncodedSet& encoded, const JsonValues& json)
{
    encoded.timeline = DocumentEncoder::encode(json.timeline);
    encoded.provenance = DocumentEncoder::encode(json.provenance);
}

void encodeTexts(EncodedSet& encoded, const BuiltSet& set)
{
    encoded.brief = set.brief.toUtf8();
    encoded.clean = set.clean.toUtf8();
    encoded.raw = set.raw.toUtf8();
    encoded.plain = set.plain.toUtf8();
}

void writeSet(const QString& sessionFolder, const EncodedSet& bytes)
{
    const QString folder = sessionFolder + u"/transcripts"_s;
    QDir().mkpath(folder);
    StagedFileSet set(folder);
    set.removeStrays();
    set.stage(FinalTranscriptWriter::timelineName, bytes.timeline);
    set.stage(FinalTranscriptWriter::briefName, bytes.brief);
    set.stage(FinalTranscriptWriter::cleanTranscriptName, bytes.clean);
    set.stage(FinalTranscriptWriter::rawTranscriptName, bytes.raw);
    set.stage(FinalTranscriptWriter::provenanceName, bytes.provenance);
    set.stage(FinalTranscriptWriter::olderTranscriptName, bytes.clean);
    set.stage(FinalTranscriptWriter::plainTextName, bytes.plain);
    set.stage(FinalTranscriptWriter::olderTimelineName, bytes.timeline);
    set.commit();
}

struct StepTimes {
    double read = 0;
    double values = 0;
    double layouts = 0;
    double json = 0;
    double encoder = 0;
    double qtEncoder = 0; // the same objects through QJsonDocument, for comparison only
    double texts = 0;
    double write = 0;

    double total() const { return read + values + layouts + json + encoder + texts + write; }
};

// Each step timed alone; the values they leave are freed after the last one, outside the times.
StepTimes timeSteps(const FinalTranscriptWriter& writer, const QString& folder,
                    const SessionMetadata& session)
{
    std::vector<RecordingChunkMetadata> chunks;
    BuiltSet built;
    JsonValues json;
    EncodedSet encoded;
    StepTimes times;
    times.read = millisecondsOf([&] { chunks = readSessionChunks(folder); });
    times.values = millisecondsOf([&] { built = buildValues(writer, folder, session, chunks); });
    times.layouts = millisecondsOf([&] { layOut(built); });
    times.json = millisecondsOf([&] { json = toJson(built); });
    times.encoder = millisecondsOf([&] { encodeJson(encoded, json); });
    QByteArray qtTimeline;
    QByteArray qtProvenance;
    times.qtEncoder = millisecondsOf([&] {
        qtTimeline = QJsonDocument(json.timeline).toJson(QJsonDocument::Indented);
        qtProvenance = QJsonDocument(json.provenance).toJson(QJsonDocument::Indented);
    });
    times.texts = millisecondsOf([&] { encodeTexts(encoded, built); });
    times.write = millisecondsOf([&] { writeSet(folder, encoded); });
    return times;
}

// The steps as one call that frees its values before it returns, as the writer's call does.
void runSteps(const FinalTranscriptWriter& writer, const QString& folder, const SessionMetadata& session)
{
    BuiltSet built = buildValues(writer, folder, session, readSessionChunks(folder));
    layOut(built);
    EncodedSet encoded;
    encodeJson(encoded, toJson(built));
    encodeTexts(encoded, built);
    writeSet(folder, encoded);
}

long minorFaults()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Runs of one kind: one untimed, then `rounds` timed, each after `prepare` (untimed).
struct Measured {
    Figures time;
    std::vector<long> faults; // minor page faults of each timed run
};

Measured measure(int rounds, const std::function<void()>& prepare, const std::function<void()>& work)
{
    prepare();
    work();
    Measured measured;
    for (int round = 0; round < rounds; ++round) {
        prepare();
        const long faults = minorFaults();
        measured.time.add(millisecondsOf(work));
        measured.faults.push_back(minorFaults() - faults);
    }
    return measured;
}

qint64 folderBytes(const QString& folder, const QString& nameFilter)
{
    qint64 total = 0;
    for (const QFileInfo& file : QDir(folder).entryInfoList({nameFilter}, QDir::Files))
        total += file.size();
    return total;
}

struct ProcessRun {
    double milliseconds = 0;
    QByteArray output;
    QByteArray errors;
};

ProcessRun runProcess(const QString& program, const QStringList& arguments)
{
    QProcess process;
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(120'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        throw std::runtime_error(program.toStdString() +
                                 " failed: " + process.readAllStandardError().toStdString());
    ProcessRun run;
    run.milliseconds = static_cast<double>(timer.nsecsElapsed()) / 1e6;
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    return run;
}

void printRow(const char* label, const Figures& figures)
{
    std::printf("  %-50s %9.2f %9.2f %9.2f\n", label, figures.median(), figures.fastest(), figures.slowest());
}

struct Options {
    int rounds = 10;
    int pairs = 120;
    int textBytes = 5000;
    QString python;
    QString jq;
    QString gnuTime;
};

// Runs `command` under GNU time and appends its peak resident KiB to `peaks`; returns its standard output. A
// process started from this one directly would report this one's peak: the high-water mark survives exec.
QByteArray peakOf(const Options& options, const QString& root, const QStringList& command,
                  std::vector<long>* peaks)
{
    const QString timeFile = root + u"/peak.time"_s;
    const ProcessRun run =
        runProcess(options.gnuTime, QStringList{u"-f"_s, u"%M"_s, u"-o"_s, timeFile} + command);
    QFile file(timeFile);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("GNU time left no figure");
    peaks->push_back(file.readAll().trimmed().toLong());
    return run.output.trimmed();
}

struct LocationResult {
    QString name;
    double writerRerun = 0;
    double freshCall = 0;
    double python = 0;
};

LocationResult benchLocation(const QString& root, const Options& options)
{
    const QString folder = test::makeLongSession(root, options.pairs, options.textBytes);
    const SessionMetadata session = test::longSessionMetadata(options.pairs);
    const QString transcripts = folder + u"/transcripts"_s;
    const QString pythonOutput = root + u"/python_transcript.txt"_s;
    const QString jqOutput = root + u"/jq_transcript.txt"_s;
    Logger logger(root + u"/bench.log"_s);
    const auto writer = makeWriter(logger, StagedFileSet::writeSynced);
    const auto unsyncedWriter = makeWriter(logger, writeUnsynced);

    Figures read, values, layouts, json, encoder, qtEncoder, texts, write, steps, once, onceCall, python,
        pythonStart, jq;
    std::vector<long> oncePeak, onceBefore, onceFaults, pythonPeakKiB, jqPeakKiB;

    // Each kind of run in a block of its own after one untimed run, so that every run of a kind meets the
    // same state: the code, the page cache and the allocator's free memory warm from the same work.
    writer->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder));
    const auto writerSet = test::transcriptFolderContent(folder);
    bool sameBytes = true;

    timeSteps(*writer, folder, session);
    for (int round = 0; round < options.rounds; ++round) {
        const StepTimes times = timeSteps(*writer, folder, session);
        read.add(times.read);
        values.add(times.values);
        layouts.add(times.layouts);
        json.add(times.json);
        encoder.add(times.encoder);
        qtEncoder.add(times.qtEncoder);
        texts.add(times.texts);
        write.add(times.write);
        steps.add(times.total());
    }
    sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;
    const Measured stepsInOne = measure(
        options.rounds, [] {}, [&] { runSteps(*writer, folder, session); });
    sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;

    const Measured first = measure(
        options.rounds, [&] { QDir(transcripts).removeRecursively(); },
        [&] { writer->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder)); });
    sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;
    const Measured rerun = measure(
        options.rounds, [] {},
        [&] { writer->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder)); });
    sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;
    const Measured unsynced = measure(
        options.rounds, [] {},
        [&] { unsyncedWriter->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder)); });
    sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;

    CallProbe probe;
    const auto probedWriter = makeProbedWriter(logger, probe);
    Figures inRead, inTexts, inValues, inEncode, inFiles, inRest, inWhole;
    probedCall(*probedWriter, probe, folder, session);
    for (int round = 0; round < options.rounds; ++round) {
        probedCall(*probedWriter, probe, folder, session);
        inRead.add(probe.read);
        inTexts.add(probe.textsResolved - probe.read);
        inValues.add(probe.valuesBuilt - probe.textsResolved);
        inEncode.add(probe.firstWrite - probe.valuesBuilt);
        inFiles.add(probe.writing);
        inRest.add(probe.end - probe.firstWrite - probe.writing);
        inWhole.add(probe.end);
    }
    sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;

    const QStringList onceCommand{QCoreApplication::applicationFilePath(), u"--pairs"_s,
                                  QString::number(options.pairs), u"--once"_s, folder};
    const QStringList pythonCommand{options.python, u"-c"_s, pythonJoin, folder, pythonOutput};
    const QStringList jqCommand{u"/bin/sh"_s, u"-c"_s, jqJoin, u"sh"_s, folder, jqOutput};
    for (int round = 0; round < options.rounds; ++round) {
        const ProcessRun onceRun = runProcess(onceCommand.first(), onceCommand.mid(1));
        once.add(onceRun.milliseconds);
        const QList<QByteArray> onceFigures = onceRun.output.trimmed().split(' ');
        onceCall.add(onceFigures.value(2).toDouble());
        onceFaults.push_back(onceFigures.value(3).toLong());
        python.add(runProcess(pythonCommand.first(), pythonCommand.mid(1)).milliseconds);
        pythonStart.add(runProcess(options.python, {u"-c"_s, u"pass"_s}).milliseconds);
        if (!options.jq.isEmpty())
            jq.add(runProcess(jqCommand.first(), jqCommand.mid(1)).milliseconds);
        if (!options.gnuTime.isEmpty()) {
            onceBefore.push_back(peakOf(options, root, onceCommand, &oncePeak).split(' ').value(0).toLong());
            peakOf(options, root, pythonCommand, &pythonPeakKiB);
            if (!options.jq.isEmpty())
                peakOf(options, root, jqCommand, &jqPeakKiB);
        }
    }
    sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;

    const auto medianOf = [](std::vector<long> figures) -> double {
        if (figures.empty())
            return 0;
        std::sort(figures.begin(), figures.end());
        return static_cast<double>(figures[figures.size() / 2]);
    };

    LocationResult result;
    result.name = fileSystemName(root);
    result.writerRerun = rerun.time.median();
    result.freshCall = onceCall.median();
    result.python = python.median();

    std::printf("\n%s (%s), %d rounds, ms:%*s median   fastest   slowest\n", qPrintable(root),
                qPrintable(result.name), options.rounds,
                std::max(0, 40 - static_cast<int>(root.size() + result.name.size())), "");
    std::printf("  inside the writer's call (unchanged re-run), between its hooks:\n");
    printRow("read       readSessionChunks", inRead);
    printRow("texts      chunk texts resolved", inTexts);
    printRow("values     assembly, timeline values", inValues);
    printRow("encode     2 JSON documents, 2 layouts, UTF-8", inEncode);
    printRow("files      8 staged files written and synced", inFiles);
    printRow("rest       2 layouts, renames, folder sync, frees", inRest);
    printRow("           the whole call", inWhole);
    std::printf("  the same steps one at a time through the writer's public pieces:\n");
    printRow("read       readSessionChunks", read);
    printRow("build      texts, assembly, document values", values);
    printRow("build      4 layouts (brief, clean, raw, plain)", layouts);
    printRow("encode     2 documents to QJsonObject", json);
    printRow("encode     2 QJsonObject by the document encoder", encoder);
    printRow("           the same by QJsonDocument (comparison)", qtEncoder);
    printRow("encode     4 texts to UTF-8", texts);
    printRow("write      8 files staged, synced, renamed", write);
    printRow("           the steps, added up", steps);
    printRow("           the steps in one call, values freed", stepsInOne.time);
    printRow("writer     read + write, empty folder", first.time);
    printRow("writer     read + write, unchanged re-run", rerun.time);
    printRow("writer     re-run, files not fsynced (comparison)", unsynced.time);
    printRow("ebbcast    --once: the call in a fresh process", onceCall);
    printRow("ebbcast    --once: the whole process", once);
    printRow("python3    one-liner, chunks to one .txt", python);
    printRow("python3    start alone (-c pass)", pythonStart);
    if (!options.jq.isEmpty())
        printRow("jq         one-liner, chunks to one .txt", jq);
    else
        std::printf("  %-50s not installed\n", "jq");
    std::printf("  ratio ebbcast/python3: writer re-run %.2f, --once process %.2f\n",
                rerun.time.median() / python.median(), once.median() / python.median());
    std::printf(
        "  minor page faults per call (median): the steps in one call %.0f, writer into an empty folder "
        "%.0f, re-run %.0f, --once %.0f\n",
        medianOf(stepsInOne.faults), medianOf(first.faults), medianOf(rerun.faults), medianOf(onceFaults));
    if (options.gnuTime.isEmpty())
        std::printf("  peak RSS: not measured (GNU time is not installed)");
    else
        std::printf("  peak RSS MiB: ebbcast --once %.1f (%.1f before the call), python3 %.1f",
                    medianOf(oncePeak) / 1024, medianOf(onceBefore) / 1024, medianOf(pythonPeakKiB) / 1024);
    if (!jqPeakKiB.empty())
        std::printf(", jq %.1f", medianOf(jqPeakKiB) / 1024);
    std::printf(
        "\n  input %lld KiB in %lld chunk documents; set %lld KiB in 8 files; python3 text %lld KiB",
        folderBytes(folder + u"/chunks"_s, u"*.json"_s) / 1024,
        static_cast<long long>(QDir(folder + u"/chunks"_s).entryList({u"*.json"_s}, QDir::Files).size()),
        folderBytes(transcripts, u"*"_s) / 1024, QFileInfo(pythonOutput).size() / 1024);
    if (!options.jq.isEmpty())
        std::printf(", jq text %lld KiB", QFileInfo(jqOutput).size() / 1024);
    std::printf("\n  the steps leave the writer's set byte for byte: %s\n", sameBytes ? "yes" : "NO");
    if (!sameBytes)
        throw std::runtime_error("the steps do not reproduce the writer's set");
    return result;
}

// The cost of the page fault a first write to a new page takes, in microseconds: what each page that a call
// allocates anew costs beyond its work.
double firstTouchMicroseconds()
{
    constexpr size_t size = 16 * 1024 * 1024;
    constexpr size_t page = 4096;
    void* memory = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED)
        return 0;
    auto* bytes = static_cast<volatile char*>(memory);
    const double milliseconds = millisecondsOf([&] {
        for (size_t offset = 0; offset < size; offset += page)
            bytes[offset] = 1;
    });
    ::munmap(memory, size);
    return milliseconds * 1000 / (size / page);
}

// One read and write in a fresh process: prints the peak resident KiB before the call and after it, the
// call's milliseconds and its minor page faults.
int once(const QString& folder, int pairs)
{
    const long before = peakResidentKiB();
    Logger logger(folder + u"/bench-once.log"_s);
    const auto writer = makeWriter(logger, StagedFileSet::writeSynced);
    const long faults = minorFaults();
    const double milliseconds = millisecondsOf([&] {
        writer->writeFinalTranscriptArtifacts(folder, test::longSessionMetadata(pairs),
                                              readSessionChunks(folder));
    });
    std::printf("%ld %ld %.3f %ld\n", before, peakResidentKiB(), milliseconds, minorFaults() - faults);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.addPositionalArgument(u"roots"_s, u"Folders to make the session in (a disk, tmpfs)."_s);
    const QCommandLineOption roundsOption(u"rounds"_s, u"Runs of each measurement."_s, u"N"_s, u"10"_s);
    const QCommandLineOption pairsOption(u"pairs"_s, u"Chunks on each of the two tracks."_s, u"N"_s,
                                         u"120"_s);
    const QCommandLineOption textOption(u"text-bytes"_s, u"Text of each chunk."_s, u"N"_s, u"5000"_s);
    const QCommandLineOption pythonOption(u"python"_s, u"The python3 to compare with."_s, u"PATH"_s,
                                          u"python3"_s);
    const QCommandLineOption onceOption(u"once"_s, u"Read and write one session folder."_s, u"FOLDER"_s);
    parser.addOptions({roundsOption, pairsOption, textOption, pythonOption, onceOption});
    parser.process(application);

    try {
        if (parser.isSet(onceOption))
            return once(parser.value(onceOption), std::max(1, parser.value(pairsOption).toInt()));

        // A warm heap for every run in this process (see the top of the file).
        mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);

        Options options;
        options.rounds = std::max(1, parser.value(roundsOption).toInt());
        options.pairs = std::max(1, parser.value(pairsOption).toInt());
        options.textBytes = std::max(1, parser.value(textOption).toInt());
        options.python = parser.value(pythonOption);
        options.jq = QStandardPaths::findExecutable(u"jq"_s);
        options.gnuTime = QFileInfo::exists(u"/usr/bin/time"_s) ? u"/usr/bin/time"_s : QString();
        const QStringList roots = parser.positionalArguments();
        if (roots.isEmpty()) {
            std::fprintf(stderr, "usage: ebbcast_bench_final_transcript [options] ROOT...\n");
            return 2;
        }

        const QByteArray pythonVersion = runProcess(options.python, {u"--version"_s}).output.trimmed();
        std::printf(
            "final transcript set of a %.1f-hour session: %d chunks (%d per track), about %d bytes of "
            "text each\n%s (%s)%s\n",
            options.pairs * 300 / 3600.0, options.pairs * 2, options.pairs, options.textBytes,
            qPrintable(options.python), pythonVersion.constData(),
            options.jq.isEmpty() ? ", jq not installed" : qPrintable(u", "_s + options.jq));

        std::vector<LocationResult> results;
        for (const QString& root : roots)
            results.push_back(benchLocation(root, options));

        std::printf("\ngoal: readSessionChunks + writeFinalTranscriptArtifacts within %.0f ms on disk\n",
                    goalMilliseconds);
        const auto verdict = [](double milliseconds) {
            return milliseconds <= goalMilliseconds ? "met" : "NOT met";
        };
        for (const LocationResult& result : results)
            std::printf(
                "  %-6s warm heap %7.2f ms %-8s fresh process %7.2f ms %-8s python3 one-liner %7.2f ms\n",
                qPrintable(result.name), result.writerRerun, verdict(result.writerRerun), result.freshCall,
                verdict(result.freshCall), result.python);
        std::printf(
            "a first touch of a page costs %.2f us on this machine (16 MiB touched in a new mapping)\n",
            firstTouchMicroseconds());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
