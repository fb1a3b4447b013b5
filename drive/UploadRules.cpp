#include "drive/UploadRules.h"

#include "core/documents/SessionDocumentFile.h"
#include "drive/GoogleDriveError.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast::UploadRules {
namespace {

QString cleanAbsolute(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

QString lastComponent(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    return clean.mid(clean.lastIndexOf(u'/') + 1);
}

QString sessionFolderName(const QString& sessionFolder)
{
    return lastComponent(cleanAbsolute(sessionFolder));
}

// Final documents of the session: upload key -> what follows the session name in their Drive name.
struct FinalDocument {
    QLatin1StringView key;
    QLatin1StringView suffix;
};
constexpr FinalDocument finalDocuments[] = {
    {"transcripts/00 Session Brief.md"_L1, " - 00 Session Brief.md"_L1},
    {"transcripts/01 Clean Transcript.md"_L1, " - 01 Clean Transcript.md"_L1},
    {"transcripts/02 Timeline.json"_L1, " - 02 Timeline.json"_L1},
    {"transcripts/03 Raw Transcript.md"_L1, " - 03 Raw Transcript.md"_L1},
    {"transcripts/04 Provenance.json"_L1, " - 04 Provenance.json"_L1},
    {"transcripts/session_transcript.md"_L1, " transcript.md"_L1},
    {"transcripts/session_transcript.txt"_L1, " transcript.txt"_L1},
    {"transcripts/session_timeline.json"_L1, " timeline.json"_L1},
};

const FinalDocument* finalDocument(const QString& key)
{
    for (const FinalDocument& document : finalDocuments) {
        if (key == document.key)
            return &document;
    }
    return nullptr;
}

bool isFinalRecording(const QString& key)
{
    return key == "screen.mov"_L1 || key == "microphone.wav"_L1 || key == "system_audio.m4a"_L1 ||
           key == "wrap_up.mov"_L1 || key == "wrap_up_metadata.json"_L1;
}

QString checkedFolderID(const QString& id)
{
    static const QRegularExpression allowed(u"^[A-Za-z0-9_-]+$"_s);
    if (!allowed.match(id).hasMatch())
        throw GoogleDriveError::invalidFolderURL();
    return id;
}

} // namespace

QString uploadKey(const QString& sessionFolder, const QString& file)
{
    const QString folderPath = cleanAbsolute(sessionFolder);
    const QString filePath = cleanAbsolute(file);
    const QString prefix = folderPath.endsWith(u'/') ? folderPath : folderPath + u'/';
    if (filePath.startsWith(prefix) && filePath.size() > prefix.size())
        return filePath.mid(prefix.size());
    return lastComponent(filePath);
}

QString dayFolderName(const QString& sessionFolder)
{
    return sessionFolderName(sessionFolder).left(10);
}

QString driveArchivePath(const QString& sessionFolder)
{
    return dayFolderName(sessionFolder) + u" / "_s + sessionFolderName(sessionFolder);
}

QString folderID(const QString& setting)
{
    const QString text = setting.trimmed();
    if (!text.contains(u'/'))
        return checkedFolderID(text);
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid())
        throw GoogleDriveError::invalidFolderURL();
    const QStringList components = url.path(QUrl::FullyDecoded).split(u'/', Qt::SkipEmptyParts);
    const auto folders = std::find(components.begin(), components.end(), u"folders"_s);
    if (folders == components.end() || folders + 1 == components.end())
        throw GoogleDriveError::invalidFolderURL();
    return checkedFolderID(*(folders + 1));
}

std::optional<DriveSubfolderKey> uploadDestination(const QString& key)
{
    if (finalDocument(key))
        return DriveSubfolderKey::finalTranscript;
    if (key.startsWith("chunks/"_L1))
        return DriveSubfolderKey::liveChunks;
    if (key.startsWith("transcripts/"_L1))
        return DriveSubfolderKey::chunkTranscripts;
    if (key.startsWith("final_transcript"_L1) || key.startsWith("full_transcript"_L1))
        return DriveSubfolderKey::finalTranscript;
    if (isFinalRecording(key))
        return DriveSubfolderKey::finalRecording;
    return std::nullopt;
}

DriveTarget driveTarget(const QString& sessionFolder, const QString& key, const UploadState& state)
{
    if (!state.driveFolderID)
        throw GoogleDriveError::invalidFolderURL();
    const auto destination = uploadDestination(key);
    const auto subfolderID = destination ? state.driveFolder(*destination) : std::nullopt;
    if (!subfolderID)
        return {*state.driveFolderID, u"session root"_s, lastComponent(key)};
    const FinalDocument* document = finalDocument(key);
    const QString name =
        document ? sessionFolderName(sessionFolder) + QString(document->suffix) : lastComponent(key);
    return {*subfolderID, driveFolderName(*destination), name};
}

bool isExcludedFromUpload(const QString& fileName)
{
    if (fileName.startsWith(".ebbcast_"_L1) || fileName.startsWith("..ebbcast_"_L1))
        return true;
    // The session documents' lock, and the temporary of an atomic write in progress (".<name>.XXXXXX") of
    // any document the session folder holds: a listing made during a write must not send it.
    static const QRegularExpression atomicWriteTemporary(u"^\\..+\\.[A-Za-z0-9]{6}$"_s);
    return fileName == SessionDocumentFile::lockFileName() || atomicWriteTemporary.match(fileName).hasMatch();
}

bool uploadKeyLess(const QString& a, const QString& b)
{
    return a.toUcs4() < b.toUcs4();
}

QStringList sessionFiles(const QString& sessionFolder)
{
    const QString folder = cleanAbsolute(sessionFolder);
    QStringList files;
    QDirIterator entries(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString path = entries.next();
        struct stat status {};
        if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
            continue;
        if (isExcludedFromUpload(entries.fileName()))
            continue;
        files.append(path);
    }
    std::sort(files.begin(), files.end(), [&](const QString& a, const QString& b) {
        return uploadKeyLess(uploadKey(folder, a), uploadKey(folder, b));
    });
    return files;
}

} // namespace ebbcast::UploadRules
