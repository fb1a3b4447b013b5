#pragma once

#include "drive/DriveRequests.h"
#include "drive/DriveWireTypes.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace ebbcast {

class GoogleTokenProvider;
struct GoogleEndpoints;

// A resumable upload that Drive has opened: where its bytes go, and the file as it was when it began. Whoever
// keeps it for a later resume must keep it secret: the address alone lets anyone append to the upload.
struct DriveUploadSession {
    QUrl sessionURL;
    qint64 size = 0;
    QDateTime modified; // UTC
};

// The client of the Drive v3 REST interface: folders, uploads, processing state, the account. Holds no state
// between calls and caches nothing.
//
// Every request carries a bearer token from the token provider and follows no redirect; a 401 gets one more
// try with a replacement token. Requests to the Drive paths allow shared drives. Ids go into paths
// percent-encoded as one segment; search values are quoted for the search language and every query value is
// percent-encoded beyond the unreserved characters.
//
// Uploads: a file below the resumable threshold goes in one multipart request; a larger one through a
// resumable session, one chunk in memory at a time, read on a worker thread. A chunk send that fails is
// retried with growing pauses (at most five sends; a Retry-After of up to 60 s lengthens a pause); after a
// transport failure the client asks Drive how much arrived instead of resending blindly, and it always
// continues from the offset Drive acknowledged. An expired session (404, 410) is replaced once by a new one
// from the start. The session URL is accepted only on the API origin. A file whose size changes while it is
// uploaded fails the upload.
//
// Errors: GoogleDriveError (refusals with Drive's own message, transport failures, unusable replies, a file
// that changed), FileError (the local file), and the token provider's errors unchanged. No token or session
// URL appears in any error text.
// Main thread: the coroutines run on the thread of the shared QNetworkAccessManager. Arguments are copied
// before the first suspension.
class GoogleDriveClient {
public:
    using Pause = std::function<QCoro::Task<void>(std::chrono::milliseconds)>;

    struct Options {
        int transferTimeoutMs = 60'000; // a request fails when no byte moves for this long
        // The pause after the n-th failed send of a chunk (n = 1..4): n × 2 s.
        std::function<std::chrono::milliseconds(int failedSends)> retryPause;
        // Waits that long (a timer on the event loop); tests record instead.
        Pause pause;
        std::chrono::milliseconds retryAfterCap = std::chrono::seconds(60);
        int maximumSends = 5;                        // sends of one chunk
        qint64 chunkSizeBytes = 8 * 1024 * 1024;     // a multiple of 256 KiB
        qint64 resumableThresholdBytes = 20'971'521; // from this size on, uploads are resumable
        qint64 jsonReplyLimitBytes = 1024 * 1024;
        qint64 errorBodyLimitBytes = 64 * 1024;
    };

    struct UploadOptions {
        // Bytes of the file that have reached Drive (or are on their way), and the file's size.
        std::function<void(qint64 sent, qint64 total)> progress;
        // A resumable session was opened, before its first byte is sent.
        std::function<void(const DriveUploadSession& session)> onSessionStarted;
        // An earlier session of this file to continue; used only when the file still has the size and
        // modification time it had then and the address is on the API origin, else the upload starts over.
        std::optional<DriveUploadSession> resume;
    };

    GoogleDriveClient(GoogleTokenProvider& tokens, QNetworkAccessManager& network,
                      const GoogleEndpoints& endpoints, Options options);
    GoogleDriveClient(GoogleTokenProvider& tokens, QNetworkAccessManager& network,
                      const GoogleEndpoints& endpoints);

    // Whether a Google token is stored.
    QCoro::Task<bool> isConnected();
    // Obtains a valid access token and discards it: signs in (where allowed) or refreshes as needed.
    QCoro::Task<void> connect();
    // The id of the first folder named `name` directly in `parentID` (not trashed), or nothing.
    QCoro::Task<std::optional<QString>> findFolder(const QString& name, const QString& parentID);
    // Creates the folder and returns its id.
    QCoro::Task<QString> createFolder(const QString& name, const QString& parentID);
    // Uploads the file into `parentID` under `name` (default: its file name) and returns the new file's id.
    QCoro::Task<QString> uploadFile(const QString& path, const QString& parentID,
                                    const std::optional<QString>& name = std::nullopt,
                                    const UploadOptions& options = {});
    // Whether Drive reports video metadata or a thumbnail for the file.
    QCoro::Task<bool> videoFileIsProcessed(const QString& fileID);
    // The first file (not a folder, not trashed) named `name` directly in `parentID`, or nothing.
    QCoro::Task<std::optional<DriveFileEntry>> findFile(const QString& name, const QString& parentID);
    // The signed-in account's name and address.
    QCoro::Task<DriveAccountInfo> accountInfo();

    const Options& options() const noexcept { return options_; }

private:
    QCoro::Task<DriveFileListResponse> search(const QString& query, const QString& fields);
    QCoro::Task<QString> uploadMultipart(const QString& path, const QString& parentID, const QString& name,
                                         qint64 size, const UploadOptions& options);

    Options options_;
    DriveRequests requests_;
};

} // namespace ebbcast
