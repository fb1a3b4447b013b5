#pragma once

#include "drive/GoogleDriveClient.h"
#include "drive/GoogleDriveError.h"
#include "drive/UploadSource.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>
#include <optional>

namespace ebbcast {

// One resumable upload, from opening (or resuming) the session to Drive's file id. Lives only for one call.
//
// It keeps one access token for the whole upload (a 401 fetches a replacement and sends again, once per
// chunk and uncounted), continues from the offset Drive acknowledges (a 308 without "Range" means Drive holds
// nothing), and counts failed sends per chunk: a chunk is sent at most `maximumSends` times, with the
// pauses of Options::retryPause between (longer when Drive's Retry-After asks, up to the cap). After a
// transport failure it asks Drive for the offset (an empty PUT with "Content-Range: bytes */total") before
// sending again. A session Drive no longer knows (404, 410) is replaced once by a new one from the start.
// When Drive has acknowledged every byte without naming the file, it asks once more; the file then comes
// from a 200 or 201.
class ResumableUpload {
public:
    struct Target {
        QString path;     // the local file
        QString name;     // the name in Drive
        QString parentID; // the folder
        UploadSource::Attributes attributes;
    };

    ResumableUpload(DriveRequests& requests, const GoogleDriveClient::Options& options, Target target,
                    const GoogleDriveClient::UploadOptions& uploadOptions);
    ~ResumableUpload();

    // Returns the new file's id.
    QCoro::Task<QString> run();

private:
    // What one chunk send or offset query came to.
    struct Step {
        enum class Kind { finished, acknowledged, unauthorized, sessionGone, failed };
        Kind kind = Kind::failed;
        QString fileID;                        // finished
        qint64 acknowledged = 0;               // acknowledged: bytes Drive holds
        std::optional<GoogleDriveError> error; // failed
        std::optional<std::chrono::milliseconds> retryAfter;
        bool transport = false; // failed without a reply: what arrived is unknown
    };

    // Where the upload stands between two steps.
    struct Progress {
        qint64 offset = 0;   // bytes Drive holds as far as known
        int failedSends = 0; // of the current chunk
        bool tokenReplaced = false;
        bool sessionRenewed = false;
        bool ownSession = true; // false while continuing an earlier session
        bool askedAtEnd = false;
        bool ask = false; // the next step asks for the offset instead of sending bytes
    };
    // What to do after a step.
    struct Action {
        enum class Kind { finish, next, replaceToken, renewSession, pause };
        Kind kind = Kind::next;
        std::chrono::milliseconds pause{};
    };

    QCoro::Task<void> startSession();
    QCoro::Task<Step> sendChunk(qint64 offset, qint64 length);
    QCoro::Task<Step> askOffset();
    Step interpret(const DriveExchange::Outcome& outcome, std::optional<qint64> lastSent) const;
    // Moves the progress on by one step; throws the error that ends the upload.
    Action decide(const Step& step);
    QStringList secrets() const;
    // Reports progress forward only, unless the offset really moved back.
    void report(qint64 sent, bool backwards = false);
    bool canResume() const;

    DriveRequests& requests_;
    const GoogleDriveClient::Options& options_;
    Target target_;
    GoogleDriveClient::UploadOptions uploadOptions_;
    QString fileName_;
    QString mimeType_;
    QString token_;
    QUrl session_;
    std::unique_ptr<UploadSource> source_;
    Progress progress_;
    qint64 reported_ = -1;
};

} // namespace ebbcast
