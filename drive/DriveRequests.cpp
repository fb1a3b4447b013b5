#include "drive/DriveRequests.h"

#include "drive/DriveProtocol.h"
#include "drive/GoogleDriveError.h"
#include "drive/GoogleEndpoints.h"
#include "drive/GoogleTokenProvider.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

using namespace Qt::StringLiterals;

namespace ebbcast {

DriveRequests::DriveRequests(GoogleTokenProvider& tokens, QNetworkAccessManager& network,
                             const GoogleEndpoints& endpoints, Settings settings)
    : tokens_(tokens)
    , network_(network)
    , endpoints_(endpoints)
    , settings_(settings)
{}

QUrl DriveRequests::url(const QString& path, const QStringList& ids, const QueryItems& query) const
{
    QUrl result = endpoints_.apiURL.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment);
    QString fullPath = result.path(QUrl::FullyEncoded);
    while (fullPath.endsWith(u'/'))
        fullPath.chop(1);
    fullPath += path;
    for (const QString& id : ids) {
        if (id.isEmpty() || id == u"."_s || id == u".."_s)
            throw GoogleDriveError::requestFailed(u"\""_s + id + u"\" is not a Google Drive id"_s);
        fullPath += u'/' + QString::fromLatin1(QUrl::toPercentEncoding(id));
    }
    result.setPath(fullPath, QUrl::StrictMode);
    if (!query.isEmpty())
        result.setQuery(encodeQueryItems(query), QUrl::StrictMode);
    return result;
}

QNetworkRequest DriveRequests::request(const QUrl& url, const QString& token) const
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(settings_.transferTimeoutMs);
    return request;
}

QCoro::Task<DriveExchange::Outcome> DriveRequests::send(const QByteArray& method,
                                                        const QNetworkRequest& request,
                                                        const QByteArray& body,
                                                        const std::function<void(qint64)>& onUploadProgress)
{
    QNetworkReply* reply =
        method == "GET" ? network_.get(request) : network_.sendCustomRequest(request, method, body);
    DriveExchange::Limits limits;
    limits.successBodyBytes = settings_.jsonReplyLimitBytes;
    limits.errorBodyBytes = settings_.errorBodyLimitBytes;
    limits.transferTimeoutMs = settings_.transferTimeoutMs;
    DriveExchange exchange(reply, limits, onUploadProgress);
    co_return co_await exchange.finished();
}

QCoro::Task<DriveExchange::Outcome>
DriveRequests::call(const QByteArray& method, const QUrl& url, const QByteArray& body,
                    const std::function<void(QNetworkRequest&)>& configure)
{
    const QByteArray verb = method;
    const QUrl target = url;
    const QByteArray content = body;
    const std::function<void(QNetworkRequest&)> configureRequest = configure;
    QString token = co_await tokens_.validAccessToken();
    const auto build = [&] {
        QNetworkRequest request = this->request(target, token);
        if (configureRequest)
            configureRequest(request);
        return request;
    };
    DriveExchange::Outcome outcome = co_await send(verb, build(), content);
    if (outcome.status == 401) {
        token = co_await tokens_.replacementAccessToken(token);
        outcome = co_await send(verb, build(), content);
    }
    validate(outcome, {token});
    co_return outcome;
}

void DriveRequests::validate(const DriveExchange::Outcome& outcome, const QStringList& secrets)
{
    if (!outcome.transportFailure && outcome.isSuccess())
        return;
    fail(outcome, secrets);
}

void DriveRequests::fail(const DriveExchange::Outcome& outcome, const QStringList& secrets)
{
    if (outcome.transportFailure)
        throw GoogleDriveError::requestFailed(*outcome.transportFailure);
    throw GoogleDriveError::requestFailed(driveErrorMessage(outcome.body, outcome.status, secrets),
                                          outcome.status);
}

} // namespace ebbcast
