#include "gateway/JobStore.h"

#include "core/base/AtomicFile.h"
#include "core/base/FileDescriptor.h"
#include "core/base/FileError.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr auto jobDocumentName = "job.json"_L1;
constexpr auto transcriptName = "transcript.txt"_L1;

void makeFolder(const QString& path)
{
    if (!QDir().mkpath(path))
        throw FileError(FileErrorCode::createDirectoryFailed, path, u"cannot create the folder"_s);
}

// Makes a rename inside `folder` durable.
void syncFolder(const QString& folder)
{
    const FileDescriptor fd(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        throw FileError::fromErrno(FileErrorCode::writeFailed, folder);
}

} // namespace

JobStore::JobStore(QString dataDirectory)
    : dataDirectory_(std::move(dataDirectory))
    , jobsDirectory_(dataDirectory_ + "/jobs"_L1)
    , incomingDirectory_(dataDirectory_ + "/incoming"_L1)
{
    makeFolder(jobsDirectory_);
    makeFolder(incomingDirectory_);
}

JobStore::Loaded JobStore::load()
{
    for (const QString& name :
         QDir(incomingDirectory_).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden))
        QDir(incomingDirectory_ + u'/' + name).removeRecursively();

    Loaded loaded;
    for (const QString& name :
         QDir(jobsDirectory_).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const QString documentPath = jobFolder(name) + u'/' + jobDocumentName;
        const auto object = JsonDocumentFile::readObject(documentPath);
        std::optional<GatewayJob> job = object ? GatewayJob::fromJson(*object) : std::nullopt;
        if (!job || job->id != name) {
            loaded.problems.append(u"job folder %1 has no readable job document"_s.arg(name));
            continue;
        }
        loaded.jobs.push_back(std::move(*job));
    }
    return loaded;
}

QString JobStore::createIncoming()
{
    const QString folder = incomingDirectory_ + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces);
    makeFolder(folder);
    return folder;
}

void JobStore::discardIncoming(const QString& incomingFolder)
{
    QDir(incomingFolder).removeRecursively();
}

void JobStore::commit(const QString& incomingFolder, const GatewayJob& job)
{
    JsonDocumentFile::write(incomingFolder + u'/' + jobDocumentName, job.toJson());
    const QString target = jobFolder(job.id);
    if (::rename(QFile::encodeName(incomingFolder).constData(), QFile::encodeName(target).constData()) != 0)
        throw FileError::fromErrno(FileErrorCode::writeFailed, target);
    try {
        syncFolder(jobsDirectory_);
    } catch (...) {
        // Not durable: take the job back so the caller refuses the upload as a whole.
        ::rename(QFile::encodeName(target).constData(), QFile::encodeName(incomingFolder).constData());
        throw;
    }
}

void JobStore::save(const GatewayJob& job)
{
    JsonDocumentFile::write(jobFolder(job.id) + u'/' + jobDocumentName, job.toJson());
}

void JobStore::writeTranscript(const QString& jobID, const QByteArray& text)
{
    AtomicFile::write(jobFolder(jobID) + u'/' + transcriptName, text);
}

QByteArray JobStore::readTranscript(const QString& jobID) const
{
    const QString path = jobFolder(jobID) + u'/' + transcriptName;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw FileError(FileErrorCode::readFailed, path, file.errorString());
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw FileError(FileErrorCode::readFailed, path, file.errorString());
    return bytes;
}

QString JobStore::audioPath(const GatewayJob& job) const
{
    return jobFolder(job.id) + u'/' + job.audioFileName;
}

bool JobStore::removeAudio(const GatewayJob& job)
{
    const QString path = audioPath(job);
    return !QFile::exists(path) || QFile::remove(path);
}

bool JobStore::removeJob(const QString& jobID)
{
    return QDir(jobFolder(jobID)).removeRecursively();
}

QString JobStore::jobFolder(const QString& jobID) const
{
    return jobsDirectory_ + u'/' + jobID;
}

} // namespace ebbcast
