#pragma once

#include "drive/DriveExchange.h"

#include <QCoro/QCoroTask>
#include <QNetworkRequest>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <utility>

class QNetworkAccessManager;

namespace ebbcast {

class GoogleTokenProvider;
struct GoogleEndpoints;

// What every Drive request has in common: the address below the API URL, the bearer token, no redirects, the
// transfer time-out, the reply limits, and one more try with a replacement token after a 401.
// Main thread.
class DriveRequests {
public:
    using QueryItems = QList<std::pair<QString, QString>>;

    struct Settings {
        int transferTimeoutMs = 60'000;
        qint64 jsonReplyLimitBytes = 1024 * 1024;
        qint64 errorBodyLimitBytes = 64 * 1024;
    };

    DriveRequests(GoogleTokenProvider& tokens, QNetworkAccessManager& network,
                  const GoogleEndpoints& endpoints, Settings settings);

    GoogleTokenProvider& tokens() const { return tokens_; }
    const GoogleEndpoints& endpoints() const { return endpoints_; }

    // `path` below the API URL's own path, then each id as one percent-encoded segment, then the query.
    // Throws GoogleDriveError for an id that would name another resource (empty, "." or "..").
    QUrl url(const QString& path, const QStringList& ids, const QueryItems& query) const;
    // Bearer token, no redirects (a 3xx is an answer like any other), the transfer time-out.
    QNetworkRequest request(const QUrl& url, const QString& token) const;

    // Sends one request and takes its reply; GET when `method` is "GET" (the body is then ignored).
    QCoro::Task<DriveExchange::Outcome> send(const QByteArray& method, const QNetworkRequest& request,
                                             const QByteArray& body,
                                             const std::function<void(qint64)>& onUploadProgress = {});

    // A whole request: a valid token, the request, once more with a replacement token after a 401, and the
    // reply validated (2xx). Returns the reply. `configure` adds headers to the request.
    QCoro::Task<DriveExchange::Outcome> call(const QByteArray& method, const QUrl& url,
                                             const QByteArray& body,
                                             const std::function<void(QNetworkRequest&)>& configure = {});

    // Throws GoogleDriveError::requestFailed for a transport failure or a status outside 200-299, its text
    // free of `secrets`.
    static void validate(const DriveExchange::Outcome& outcome, const QStringList& secrets);
    [[noreturn]] static void fail(const DriveExchange::Outcome& outcome, const QStringList& secrets);

private:
    GoogleTokenProvider& tokens_;
    QNetworkAccessManager& network_;
    const GoogleEndpoints& endpoints_;
    Settings settings_;
};

} // namespace ebbcast
