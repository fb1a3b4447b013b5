#include "drive/GoogleDriveClient.h"

#include "core/base/TimerPause.h"
#include "core/base/WorkerTask.h"
#include "drive/DriveProtocol.h"
#include "drive/GoogleDriveError.h"
#include "drive/GoogleTokenProvider.h"
#include "drive/ResumableUpload.h"
#include "drive/UploadSource.h"

#include <QFileInfo>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

GoogleDriveClient::Options completed(GoogleDriveClient::Options options)
{
    if (!options.retryPause)
        options.retryPause = [](int failedSends) {
            return std::chrono::milliseconds(failedSends * 2000);
        };
    if (!options.pause)
        options.pause = pauseOnTimer;
    return options;
}

DriveRequests::Settings requestSettings(const GoogleDriveClient::Options& options)
{
    return {options.transferTimeoutMs, options.jsonReplyLimitBytes, options.errorBodyLimitBytes};
}

const QString folderMimeType = QString::fromLatin1(driveFolderMimeType);

} // namespace

GoogleDriveClient::GoogleDriveClient(GoogleTokenProvider& tokens, QNetworkAccessManager& network,
                                     const GoogleEndpoints& endpoints, Options options)
    : options_(completed(std::move(options)))
    , requests_(tokens, network, endpoints, requestSettings(options_))
{}

GoogleDriveClient::GoogleDriveClient(GoogleTokenProvider& tokens, QNetworkAccessManager& network,
                                     const GoogleEndpoints& endpoints)
    : GoogleDriveClient(tokens, network, endpoints, Options{})
{}

QCoro::Task<bool> GoogleDriveClient::isConnected()
{
    co_return co_await requests_.tokens().isSignedIn();
}

QCoro::Task<void> GoogleDriveClient::connect()
{
    co_await requests_.tokens().validAccessToken();
}

QCoro::Task<DriveFileListResponse> GoogleDriveClient::search(const QString& query, const QString& fields)
{
    const QUrl url = requests_.url(u"/drive/v3/files"_s, {},
                                   {{u"supportsAllDrives"_s, u"true"_s},
                                    {u"includeItemsFromAllDrives"_s, u"true"_s},
                                    {u"fields"_s, fields},
                                    {u"q"_s, query}});
    const DriveExchange::Outcome outcome = co_await requests_.call("GET", url, {});
    co_return DriveFileListResponse::decode(outcome.body);
}

QCoro::Task<std::optional<QString>> GoogleDriveClient::findFolder(const QString& name,
                                                                  const QString& parentID)
{
    const QString query = u"mimeType = "_s + driveQueryLiteral(folderMimeType) +
                          u" and trashed = false and "_s + driveQueryLiteral(parentID) +
                          u" in parents and name = "_s + driveQueryLiteral(name);
    const DriveFileListResponse list = co_await search(query, u"files(id,name)"_s);
    if (list.files.empty())
        co_return std::nullopt;
    co_return list.files.front().id;
}

QCoro::Task<std::optional<DriveFileEntry>> GoogleDriveClient::findFile(const QString& name,
                                                                       const QString& parentID)
{
    const QString query = u"mimeType != "_s + driveQueryLiteral(folderMimeType) +
                          u" and trashed = false and "_s + driveQueryLiteral(parentID) +
                          u" in parents and name = "_s + driveQueryLiteral(name);
    const DriveFileListResponse list = co_await search(query, u"files(id,size,md5Checksum)"_s);
    if (list.files.empty())
        co_return std::nullopt;
    co_return list.files.front();
}

QCoro::Task<QString> GoogleDriveClient::createFolder(const QString& name, const QString& parentID)
{
    const QUrl url = requests_.url(u"/drive/v3/files"_s, {}, {{u"supportsAllDrives"_s, u"true"_s}});
    const QByteArray body = DriveCreateFolderRequest{name, parentID}.toJson();
    const DriveExchange::Outcome outcome =
        co_await requests_.call("POST", url, body, [](QNetworkRequest& request) {
            request.setRawHeader("Content-Type", "application/json");
        });
    co_return DriveFileResponse::decode(outcome.body).id;
}

QCoro::Task<bool> GoogleDriveClient::videoFileIsProcessed(const QString& fileID)
{
    const QUrl url = requests_.url(u"/drive/v3/files"_s, {fileID},
                                   {{u"supportsAllDrives"_s, u"true"_s},
                                    {u"fields"_s, u"id,name,mimeType,thumbnailLink,videoMediaMetadata"_s}});
    const DriveExchange::Outcome outcome = co_await requests_.call("GET", url, {});
    co_return DriveFileMetadata::decode(outcome.body).isProcessed();
}

QCoro::Task<DriveAccountInfo> GoogleDriveClient::accountInfo()
{
    const QUrl url =
        requests_.url(u"/drive/v3/about"_s, {}, {{u"fields"_s, u"user(displayName,emailAddress)"_s}});
    const DriveExchange::Outcome outcome = co_await requests_.call("GET", url, {});
    co_return DriveAccountInfo::decode(outcome.body);
}

QCoro::Task<QString> GoogleDriveClient::uploadFile(const QString& path, const QString& parentID,
                                                   const std::optional<QString>& name,
                                                   const UploadOptions& options)
{
    const QString filePath = path;
    const QString parent = parentID;
    const QString driveName = name.value_or(QFileInfo(path).fileName());
    const UploadOptions uploadOptions = options;

    const UploadSource::Attributes attributes =
        co_await runOnWorker([&filePath] { return UploadSource::attributes(filePath); });
    if (attributes.size >= options_.resumableThresholdBytes) {
        ResumableUpload upload(requests_, options_, {filePath, driveName, parent, attributes}, uploadOptions);
        co_return co_await upload.run();
    }
    co_return co_await uploadMultipart(filePath, parent, driveName, attributes.size, uploadOptions);
}

QCoro::Task<QString> GoogleDriveClient::uploadMultipart(const QString& path, const QString& parentID,
                                                        const QString& name, qint64 size,
                                                        const UploadOptions& options)
{
    const QString filePath = path;
    const QByteArray content = co_await runOnWorker([&filePath, size] {
        const UploadSource source(filePath, size);
        return source.read(0, size);
    });

    const QByteArray boundary =
        "Boundary-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    QByteArray body;
    body.reserve(content.size() + 512);
    body += "--" + boundary + "\r\n";
    body += "Content-Type: application/json; charset=UTF-8\r\n\r\n";
    body += DriveUploadMetadata{name, parentID}.toJson();
    body += "\r\n--" + boundary + "\r\n";
    body += "Content-Type: " + driveMimeType(name).toLatin1() + "\r\n\r\n";
    body += content;
    body += "\r\n--" + boundary + "--\r\n";

    const QUrl url = requests_.url(u"/upload/drive/v3/files"_s, {},
                                   {{u"uploadType"_s, u"multipart"_s}, {u"supportsAllDrives"_s, u"true"_s}});
    const DriveExchange::Outcome outcome =
        co_await requests_.call("POST", url, body, [&boundary](QNetworkRequest& request) {
            request.setRawHeader("Content-Type", "multipart/related; boundary=" + boundary);
        });
    const QString id = DriveFileResponse::decode(outcome.body).id;
    if (options.progress)
        options.progress(size, size);
    co_return id;
}

} // namespace ebbcast
