#include "TranscriptSetFixtures.h"

#include "core/base/Iso8601.h"
#include "core/documents/Timecode.h"
#include "transcription/SessionChunks.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

QDateTime date(const QJsonValue& value)
{
    const auto parsed = Iso8601::parse(value.toString());
    if (!parsed)
        throw std::runtime_error("bad date in a transcript case: " + value.toString().toStdString());
    return *parsed;
}

std::optional<QString> optionalString(const QJsonObject& object, const QString& key)
{
    if (!object.contains(key))
        return std::nullopt;
    return object.value(key).toString();
}

} // namespace

QString goldenFolder(const QString& caseName)
{
    return QStringLiteral(EBBCAST_TRANSCRIPT_GOLDEN) + u'/' + caseName;
}

TranscriptCase prepareTranscriptCase(const QString& caseName, const QString& root)
{
    const QString input = goldenFolder(caseName) + u"/input"_s;
    const QJsonObject values =
        QJsonDocument::fromJson(TemporaryFolder::readAll(input + u"/session.json"_s)).object();
    if (values.isEmpty())
        throw std::runtime_error("no session.json in transcript case " + caseName.toStdString());

    TranscriptCase result;
    result.name = caseName;
    result.sessionFolder = root + u'/' + values.value("folder_name"_L1).toString();
    result.session.sessionID = values.value("session_id"_L1).toString();
    result.session.startTime = date(values.value("start_time"_L1));
    if (values.contains("end_time"_L1))
        result.session.endTime = date(values.value("end_time"_L1));
    if (values.contains("duration"_L1))
        result.session.duration = values.value("duration"_L1).toDouble();
    result.session.appVersion = values.value("app_version"_L1).toString();
    result.recorderID = values.value("recorder_id"_L1).toString();
    result.generatedAt = date(values.value("generated_at"_L1));
    if (values.contains("drive"_L1)) {
        const QJsonObject drive = values.value("drive"_L1).toObject();
        TranscriptDriveRecord record;
        record.sessionFolderID = optionalString(drive, u"session_folder_id"_s);
        record.finalTranscriptFolderID = optionalString(drive, u"final_transcript_folder_id"_s);
        const QJsonObject files = drive.value("files"_L1).toObject();
        for (auto it = files.begin(); it != files.end(); ++it)
            record.fileIDs.emplace(it.key(), it.value().toString());
        result.drive = record;
    }

    QDirIterator files(input, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString source = files.next();
        const QString relative = QDir(input).relativeFilePath(source);
        if (relative == u"session.json"_s)
            continue;
        QByteArray bytes = TemporaryFolder::readAll(source);
        if (relative.startsWith(u"chunks/"_s) && relative.endsWith(u".json"_s))
            bytes.replace("@FOLDER@", result.sessionFolder.toUtf8());
        const QString target = result.sessionFolder + u'/' + relative;
        QDir().mkpath(QFileInfo(target).path());
        TemporaryFolder::writeAll(target, bytes);
    }
    QDir().mkpath(result.sessionFolder);
    return result;
}

QString testDriveFileLink(const QString& fileID)
{
    return u"https://drive.example.test/file/d/"_s + fileID + u"/view"_s;
}

std::unique_ptr<FinalTranscriptWriter> writerFor(const TranscriptCase& transcriptCase, Logger& logger,
                                                 StagedFileSet::FileWriter fileWriter)
{
    const std::optional<TranscriptDriveRecord> drive = transcriptCase.drive;
    const QDateTime now = transcriptCase.generatedAt;
    return std::make_unique<FinalTranscriptWriter>(
        FinalTranscriptWriter::Config{transcriptCase.recorderID}, logger,
        [drive](const QString&) { return drive; }, testDriveFileLink, [now] { return now; },
        std::move(fileWriter));
}

QStringList transcriptSetNames()
{
    return {u"02 Timeline.json"_s,       u"00 Session Brief.md"_s,  u"01 Clean Transcript.md"_s,
            u"03 Raw Transcript.md"_s,   u"04 Provenance.json"_s,   u"session_transcript.md"_s,
            u"session_transcript.txt"_s, u"session_timeline.json"_s};
}

std::map<QString, QByteArray> transcriptFolderContent(const QString& sessionFolder)
{
    std::map<QString, QByteArray> content;
    const QDir folder(sessionFolder + u"/transcripts"_s);
    for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System))
        content.emplace(name, TemporaryFolder::readAll(folder.filePath(name)));
    return content;
}

QString describeDifference(const QByteArray& expected, const QByteArray& actual)
{
    if (expected == actual)
        return {};
    const QList<QByteArray> expectedLines = expected.split('\n');
    const QList<QByteArray> actualLines = actual.split('\n');
    const qsizetype common = std::min(expectedLines.size(), actualLines.size());
    qsizetype line = 0;
    while (line < common && expectedLines[line] == actualLines[line])
        ++line;
    QString text = u"first difference at line "_s + QString::number(line + 1) + u'\n';
    for (qsizetype i = std::max<qsizetype>(0, line - 2); i < line; ++i)
        text += u"    "_s + QString::fromUtf8(expectedLines[i]) + u'\n';
    text += u"  - "_s + (line < expectedLines.size() ? QString::fromUtf8(expectedLines[line]) : u"<end>"_s) +
            u'\n';
    text +=
        u"  + "_s + (line < actualLines.size() ? QString::fromUtf8(actualLines[line]) : u"<end>"_s) + u'\n';
    if (line == common && expectedLines.size() == actualLines.size())
        text += u"(only the bytes at the end differ)\n"_s;
    return text;
}

} // namespace ebbcast::test

namespace ebbcast::test {

QString makeLongSession(const QString& root, int pairs, int textBytes)
{
    const QString folder = root + u"/2026-12-12_08-00-00"_s;
    QDir().mkpath(folder + u"/chunks"_s);
    const QDateTime start(QDate(2026, 12, 12), QTime(7, 0), Qt::UTC);
    for (int index = 0; index < pairs; ++index) {
        for (const QString& kind : {u"microphone"_s, u"system_audio"_s}) {
            const bool system = kind == u"system_audio"_s;
            const double offset = index * 300.0 + (system ? 0.25 : 0.0);
            const QString base = kind + QString::asprintf("_chunk_%04d", index);
            RecordingChunkMetadata chunk;
            chunk.index = index;
            chunk.kind = kind;
            chunk.startTime = start.addSecs(static_cast<qint64>(offset));
            chunk.endTime = chunk.startTime.addSecs(300);
            chunk.duration = 300;
            chunk.filePath = folder + u"/chunks/"_s + base + (system ? u".m4a"_s : u".wav"_s);
            chunk.startOffsetSeconds = offset;
            chunk.endOffsetSeconds = offset + 300;
            chunk.timecodeStart = timecode(offset);
            chunk.timecodeEnd = timecode(offset + 300);
            chunk.transcriptArtifactID = 1000 + index * 2 + (system ? 1 : 0);
            const bool empty = system && index % 10 == 0;
            chunk.transcriptionStatus = empty ? u"complete_empty"_s : u"complete"_s;
            if (!empty) {
                QString text = u"["_s + base + u"] "_s;
                while (text.size() < textBytes)
                    text += u"words spoken in this chunk "_s;
                chunk.transcriptText = text.trimmed();
            }
            TemporaryFolder::writeAll(folder + u"/chunks/"_s + base + u".json"_s,
                                      QJsonDocument(chunk.toJson()).toJson());
        }
    }
    return folder;
}

SessionMetadata longSessionMetadata(int pairs)
{
    SessionMetadata session;
    session.sessionID = u"2026-12-12_08-00-00"_s;
    session.startTime = QDateTime(QDate(2026, 12, 12), QTime(7, 0), Qt::UTC);
    session.endTime = session.startTime.addSecs(pairs * 300);
    session.duration = pairs * 300.0;
    session.appVersion = u"1.4.0"_s;
    return session;
}

} // namespace ebbcast::test
