#pragma once

#include "gateway/GatewayJob.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

namespace ebbcast {

// The gateway's files under its data folder: "jobs/<id>/" holds "job.json", the audio until the job ends and
// "transcript.txt" once it is complete; "incoming/<name>/" holds an upload while it arrives. An upload
// becomes a job by renaming its finished incoming folder (audio and document, both synced) into "jobs/", so
// after a crash a job folder is whole or absent, and whatever is left in "incoming/" is discarded at the next
// start. Not thread-safe: its one owner (JobQueue) serialises the calls, except that an incoming folder
// belongs to the request that made it until it is committed or discarded.
class JobStore {
public:
    // Creates the folders; throws FileError.
    explicit JobStore(QString dataDirectory);

    const QString& dataDirectory() const noexcept { return dataDirectory_; }

    struct Loaded {
        std::vector<GatewayJob> jobs;
        QStringList problems; // one line per job folder that could not be read (kept as it is)
    };
    // Every stored job; also removes what interrupted uploads left in "incoming/".
    Loaded load();

    // A fresh folder for one arriving upload. Throws FileError.
    QString createIncoming();
    void discardIncoming(const QString& incomingFolder);
    // Writes the job's document beside its audio in `incomingFolder` and moves the folder into place.
    // Throws FileError or DocumentError; the incoming folder is then left for the caller to discard.
    void commit(const QString& incomingFolder, const GatewayJob& job);

    // Replaces the job's document. Throws FileError or DocumentError.
    void save(const GatewayJob& job);
    // Writes the transcript whole (synced). Throws FileError.
    void writeTranscript(const QString& jobID, const QByteArray& text);
    // The transcript's bytes; throws FileError.
    QByteArray readTranscript(const QString& jobID) const;
    QString audioPath(const GatewayJob& job) const;
    // Removes the audio of a finished job; a failure is only reported (false).
    bool removeAudio(const GatewayJob& job);
    // Removes a job folder whole; false when something stayed.
    bool removeJob(const QString& jobID);

private:
    QString jobFolder(const QString& jobID) const;

    QString dataDirectory_;
    QString jobsDirectory_;
    QString incomingDirectory_;
};

} // namespace ebbcast
