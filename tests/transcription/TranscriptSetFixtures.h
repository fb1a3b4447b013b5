#pragma once

#include "core/base/Logger.h"
#include "core/documents/SessionMetadata.h"
#include "support/TemporaryFolder.h"
#include "transcription/FinalTranscriptWriter.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>

namespace ebbcast::test {

// A session folder made from a hand-written case under tests/transcription/golden/<case>/input:
// "session.json" (the session's values, the recorder id, the assembly time and the optional Drive record),
// "chunks/*.json" (chunk documents; "@FOLDER@" stands for the session folder's path) and any other file,
// copied as it is.
struct TranscriptCase {
    QString name;
    QString sessionFolder;
    SessionMetadata session;
    QString recorderID;
    QDateTime generatedAt;
    std::optional<TranscriptDriveRecord> drive;
};

QString goldenFolder(const QString& caseName);
TranscriptCase prepareTranscriptCase(const QString& caseName, const QString& root);

// A Drive web page of a test host.
QString testDriveFileLink(const QString& fileID);

// A writer for one case: its recorder id, its Drive record, a clock fixed at its assembly time.
std::unique_ptr<FinalTranscriptWriter>
writerFor(const TranscriptCase& transcriptCase, Logger& logger,
          StagedFileSet::FileWriter fileWriter = StagedFileSet::writeSynced);

// The eight file names of a set, in the order they are written.
QStringList transcriptSetNames();
// The bytes of every file in "transcripts", by name (hidden ones included).
std::map<QString, QByteArray> transcriptFolderContent(const QString& sessionFolder);

// A line-by-line comparison that names the first differing line; empty when equal.
QString describeDifference(const QByteArray& expected, const QByteArray& actual);

} // namespace ebbcast::test

namespace ebbcast::test {

// A long session: `pairs` five-minute chunks on each of two tracks (the system track 0.25 s behind), each
// "complete" with about `textBytes` of text, every tenth system chunk "complete_empty". Returns its folder.
QString makeLongSession(const QString& root, int pairs, int textBytes);
SessionMetadata longSessionMetadata(int pairs);

} // namespace ebbcast::test
