// A ten-hour session's final transcript set, from the call to the committed set, side by side with the
// one-liners a user would otherwise write:
//   ebbcast_bench_final_transcript [--rounds N] [--pairs N] [--text-bytes N] [--python PATH] ROOT...
//   ebbcast_bench_final_transcript [--pairs N] --once SESSION_FOLDER
// For each ROOT (a folder on disk, one on tmpfs) it makes a session of PAIRS five-minute chunks on each of
// two tracks (120 by default: 240 chunks, ten hours) with about TEXT_BYTES of text each (5000 by default),
// then measures ROUNDS times (10 by default) and prints the median, the fastest and the slowest run of:
//   read      readSessionChunks;
//   build     the texts resolved, the assembly, the timeline and provenance values and the four text layouts;
//   encode    the two JSON documents through the document encoder and the texts as UTF-8;
//   write     the eight files staged, synced and renamed (StagedFileSet with its synced writer);
// the four done here one after the other as the writer does them (checked to leave the same bytes), then
// readSessionChunks + writeFinalTranscriptArtifacts itself: into an empty "transcripts" folder, again over an
// unchanged set, and again with a writer that does not sync (to show what the syncs cost); the same read and
// write as a process of its own (--once); a python3 one-liner and, where jq is installed, a jq one that sort
// the chunk documents and join their "transcript_text" into one text file; and python3's start alone.
// The peak resident memory of the --once process, python3 and jq comes from GNU time, when installed (the
// --once process also prints its own before the call). The chunk documents are read from the page cache, as
// they are right after the pipeline wrote them.

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
#include <QProcess>
#include <QStandardPaths>

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

BuiltSet buildSet(const FinalTranscriptWriter& writer, const QString& folder, const SessionMetadata& session,
                  const std::vector<RecordingChunkMetadata>& chunks)
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

    set.brief = TranscriptLayout::sessionBrief(assembly);
    set.clean = TranscriptLayout::cleanTranscript(assembly);
    set.raw = TranscriptLayout::rawTranscript(assembly);
    set.plain = TranscriptLayout::plainText(assembly);
    return set;
}

EncodedSet encodeSet(const BuiltSet& set)
{
    return {DocumentEncoder::encode(set.timeline.toJson()),
            DocumentEncoder::encode(set.provenance.toJson()),
            set.brief.toUtf8(),
            set.clean.toUtf8(),
            set.raw.toUtf8(),
            set.plain.toUtf8()};
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
    std::printf("  %-44s %9.2f %9.2f %9.2f\n", label, figures.median(), figures.fastest(), figures.slowest());
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

    Figures read, build, encode, write, steps, first, rerun, unsynced, once, python, pythonStart, jq;
    std::vector<long> oncePeak, onceBefore, pythonPeakKiB, jqPeakKiB;

    // Once untimed, so that the code and the chunk documents are warm for every measured run.
    writer->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder));
    const auto writerSet = test::transcriptFolderContent(folder);

    bool sameBytes = true;
    for (int round = 0; round < options.rounds; ++round) {
        std::vector<RecordingChunkMetadata> chunks;
        BuiltSet built;
        EncodedSet encoded;
        const double r = millisecondsOf([&] { chunks = readSessionChunks(folder); });
        const double b = millisecondsOf([&] { built = buildSet(*writer, folder, session, chunks); });
        const double e = millisecondsOf([&] { encoded = encodeSet(built); });
        const double w = millisecondsOf([&] { writeSet(folder, encoded); });
        read.add(r);
        build.add(b);
        encode.add(e);
        write.add(w);
        steps.add(r + b + e + w);
        sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;

        QDir(transcripts).removeRecursively();
        first.add(millisecondsOf(
            [&] { writer->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder)); }));
        rerun.add(millisecondsOf(
            [&] { writer->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder)); }));
        unsynced.add(millisecondsOf([&] {
            unsyncedWriter->writeFinalTranscriptArtifacts(folder, session, readSessionChunks(folder));
        }));
        sameBytes = sameBytes && test::transcriptFolderContent(folder) == writerSet;

        once.add(runProcess(QCoreApplication::applicationFilePath(),
                            {u"--pairs"_s, QString::number(options.pairs), u"--once"_s, folder})
                     .milliseconds);
        python.add(runProcess(options.python, {u"-c"_s, pythonJoin, folder, pythonOutput}).milliseconds);
        pythonStart.add(runProcess(options.python, {u"-c"_s, u"pass"_s}).milliseconds);
        if (!options.jq.isEmpty())
            jq.add(runProcess(u"/bin/sh"_s, {u"-c"_s, jqJoin, u"sh"_s, folder, jqOutput}).milliseconds);

        if (!options.gnuTime.isEmpty()) {
            const QByteArray before = peakOf(options, root,
                                             {QCoreApplication::applicationFilePath(), u"--pairs"_s,
                                              QString::number(options.pairs), u"--once"_s, folder},
                                             &oncePeak);
            onceBefore.push_back(before.split(' ').value(0).toLong());
            peakOf(options, root, {options.python, u"-c"_s, pythonJoin, folder, pythonOutput},
                   &pythonPeakKiB);
            if (!options.jq.isEmpty())
                peakOf(options, root, {u"/bin/sh"_s, u"-c"_s, jqJoin, u"sh"_s, folder, jqOutput}, &jqPeakKiB);
        }
    }

    const auto medianOf = [](std::vector<long> values) -> double {
        if (values.empty())
            return 0;
        std::sort(values.begin(), values.end());
        return static_cast<double>(values[values.size() / 2]);
    };

    LocationResult result;
    result.name = fileSystemName(root);
    result.writerRerun = rerun.median();
    result.python = python.median();

    std::printf("\n%s (%s), %d rounds, ms:%*s median   fastest   slowest\n", qPrintable(root),
                qPrintable(result.name), options.rounds,
                std::max(0, 34 - static_cast<int>(root.size() + result.name.size())), "");
    printRow("read       readSessionChunks", read);
    printRow("build      texts, assembly, values, layouts", build);
    printRow("encode     JSON documents, UTF-8 texts", encode);
    printRow("write      8 files staged, synced, renamed", write);
    printRow("           the four together", steps);
    printRow("writer     read + write, empty folder", first);
    printRow("writer     read + write, unchanged re-run", rerun);
    printRow("writer     re-run without fsync (comparison)", unsynced);
    printRow("ebbcast    --once as a process", once);
    printRow("python3    one-liner, chunks to one .txt", python);
    printRow("python3    start alone (-c pass)", pythonStart);
    if (!options.jq.isEmpty())
        printRow("jq         one-liner, chunks to one .txt", jq);
    else
        std::printf("  %-44s not installed\n", "jq");
    std::printf("  ratio ebbcast/python3: writer re-run %.2f, --once process %.2f\n",
                rerun.median() / python.median(), once.median() / python.median());
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

// One read and write in a fresh process: prints the peak resident KiB before the call and after it.
int once(const QString& folder, int pairs)
{
    const long before = peakResidentKiB();
    Logger logger(folder + u"/bench-once.log"_s);
    const auto writer = makeWriter(logger, StagedFileSet::writeSynced);
    writer->writeFinalTranscriptArtifacts(folder, test::longSessionMetadata(pairs),
                                          readSessionChunks(folder));
    std::printf("%ld %ld\n", before, peakResidentKiB());
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

        std::printf("\ngoal: the writer's re-run (read + write) within %.0f ms on disk\n", goalMilliseconds);
        for (const LocationResult& result : results)
            std::printf("  %-10s %8.2f ms  %s  (python3 one-liner %.2f ms)\n", qPrintable(result.name),
                        result.writerRerun, result.writerRerun <= goalMilliseconds ? "met" : "NOT met",
                        result.python);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
