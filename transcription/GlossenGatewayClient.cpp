#include "transcription/GlossenGatewayClient.h"

#include "transcription/ChunkUploadForm.h"
#include "transcription/GatewayExchange.h"
#include "transcription/GlossenGatewayError.h"
#include "transcription/GlossenReplyError.h"
#include "transcription/GlossenReplyReader.h"
#include "transcription/GlossenTransportError.h"
#include "transcription/MultipartUploadDevice.h"
#include "transcription/ServerErrorText.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Only visible ASCII can follow "Bearer " without changing the header.
bool isVisibleAscii(const QString& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x21 && c.unicode() <= 0x7E; });
}

// The limits every exchange has: a reply body of `successBodyBytes`, the error body's and the time-out's.
GatewayExchange::Limits limitsOf(const GlossenGatewayClient::Options& options, qint64 successBodyBytes)
{
    GatewayExchange::Limits limits;
    limits.successBodyBytes = successBodyBytes;
    limits.errorBodyBytes = options.errorBodyLimitBytes;
    limits.inactivityTimeoutMs = options.inactivityTimeoutMs;
    return limits;
}

} // namespace

GlossenGatewayClient::GlossenGatewayClient(SettingsSource settings, QNetworkAccessManager& network,
                                           Options options)
    : GlossenGatewayClient(std::move(settings), nullptr, network, options)
{}

GlossenGatewayClient::GlossenGatewayClient(SettingsSource settings, SettingsResolver resolver,
                                           QNetworkAccessManager& network, Options options)
    : settings_(std::move(settings))
    , resolver_(std::move(resolver))
    , network_(network)
    , options_(options)
{}

GlossenGatewayClient::GlossenGatewayClient(SettingsSource settings, QNetworkAccessManager& network)
    : GlossenGatewayClient(std::move(settings), network, Options{})
{}

QString GlossenGatewayClient::gatewayToken(const GlossenGatewaySettings& settings) const
{
    const QString token = settings.token.trimmed();
    if (token.isEmpty())
        throw GlossenGatewayError(GlossenGatewayError::Code::missingToken);
    if (!isVisibleAscii(token))
        throw GlossenGatewayError(GlossenGatewayError::Code::invalidToken);
    return token;
}

QUrl GlossenGatewayClient::gatewayBaseURL(const GlossenGatewaySettings& settings) const
{
    const QUrl url(settings.baseURL.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"http"_s && scheme != u"https"_s) || url.host().isEmpty())
        throw GlossenGatewayError(GlossenGatewayError::Code::invalidBaseURL);
    return url;
}

QCoro::Task<GlossenGatewaySettings> GlossenGatewayClient::settings()
{
    GlossenGatewaySettings stored = settings_ ? settings_() : GlossenGatewaySettings{};
    if (!resolver_)
        co_return stored;
    co_return co_await resolver_(std::move(stored));
}

GlossenGatewayClient::Target GlossenGatewayClient::target(const GlossenGatewaySettings& settings,
                                                          const QStringList& segments,
                                                          const QStringList& identifiers) const
{
    Target result;
    result.token = gatewayToken(settings);
    QUrl url = gatewayBaseURL(settings);
    for (const QString& identifier : identifiers) {
        if (!GlossenReplyReader::isUsableIdentifier(identifier))
            throw GlossenGatewayError::invalidIdentifier(identifier);
    }
    QString path = url.path(QUrl::FullyEncoded);
    while (path.endsWith(u'/'))
        path.chop(1);
    for (const QString& segment : segments) {
        path += u'/';
        path += QString::fromLatin1(QUrl::toPercentEncoding(segment));
    }
    url.setPath(path, QUrl::StrictMode);
    if (!url.isValid())
        throw GlossenGatewayError(GlossenGatewayError::Code::invalidBaseURL);
    result.url = url;
    return result;
}

QNetworkRequest GlossenGatewayClient::request(const Target& target) const
{
    QNetworkRequest request(target.url);
    request.setRawHeader("Authorization", "Bearer " + target.token.toLatin1());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(options_.inactivityTimeoutMs);
    return request;
}

void GlossenGatewayClient::validate(int status, const QByteArray& body, bool bodyCut, const QString& token)
{
    if (status >= 200 && status <= 299)
        return;
    const QString text = ServerErrorText::from(body, bodyCut, token);
    if (!text.trimmed().isEmpty())
        throw GlossenGatewayError::requestFailed(text);
    // Without a text of the gateway's, the status is all there is to tell (a redirect has none).
    throw GlossenGatewayError::requestFailed(status >= 300 && status <= 399
                                                 ? u"HTTP %1, a redirect (not followed)"_s.arg(status)
                                                 : u"HTTP %1 without a message"_s.arg(status));
}

QCoro::Task<QByteArray> GlossenGatewayClient::get(const Target& target, qint64 limitBytes,
                                                  std::optional<qint64> exactBytes)
{
    GatewayExchange::Limits limits = limitsOf(options_, limitBytes);
    limits.exactBodyBytes = exactBytes;
    limits.deadlineMs = options_.getDeadlineMs;
    const QString token = target.token;
    GatewayExchange exchange(network_.get(request(target)), limits);
    const GatewayExchange::Outcome outcome = co_await exchange.finished();
    validate(outcome.status, outcome.body, outcome.bodyCut, token);
    co_return outcome.body;
}

QCoro::Task<GlossenUploadResponse>
GlossenGatewayClient::uploadChunk(const QString& sessionID, const GlossenChunkUploadMetadata& metadata,
                                  const QString& filePath)
{
    // The arguments are copied before the first suspension (the settings may be resolved first).
    const QString session = sessionID;
    const GlossenChunkUploadMetadata chunk = metadata;
    const QString path = filePath;
    const GlossenGatewaySettings settings = co_await this->settings();
    const Target target =
        this->target(settings, {u"v1"_s, u"ebbcast"_s, u"sessions"_s, session, u"chunks"_s}, {session});
    const QByteArray metadataJson = chunk.toWireJson();
    const QByteArray boundary = ChunkUploadForm::newBoundary();
    const QString fileName = QFileInfo(path).fileName();
    std::unique_ptr<MultipartUploadDevice> body =
        MultipartUploadDevice::open(path, ChunkUploadForm::preamble(boundary, metadataJson, fileName),
                                    ChunkUploadForm::epilogue(boundary));

    QNetworkRequest request = this->request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, ChunkUploadForm::contentType(boundary));
    request.setHeader(QNetworkRequest::ContentLengthHeader, body->size());

    QNetworkReply* reply = network_.post(request, body.get());
    MultipartUploadDevice* device = body.release();
    device->setParent(reply); // read until the reply ends, deleted with it
    GatewayExchange exchange(reply, limitsOf(options_, options_.jsonReplyLimitBytes));
    device->onReadFailure = [&exchange] {
        exchange.cancel();
    };

    std::optional<GatewayExchange::Outcome> outcome;
    std::exception_ptr failure;
    try {
        outcome = co_await exchange.finished();
    } catch (...) {
        failure = std::current_exception();
    }
    device->onReadFailure = nullptr;
    if (device->failure())
        throw *device->failure();
    if (failure)
        std::rethrow_exception(failure);
    validate(outcome->status, outcome->body, outcome->bodyCut, target.token);
    co_return GlossenUploadResponse::decode(outcome->body);
}

QCoro::Task<GlossenJobStatus> GlossenGatewayClient::getJob(const QString& gatewayJobID)
{
    const QString id = gatewayJobID;
    const GlossenGatewaySettings settings = co_await this->settings();
    const Target target = this->target(settings, {u"v1"_s, u"jobs"_s, id}, {id});
    const QByteArray body = co_await get(target, options_.jsonReplyLimitBytes, std::nullopt);
    GlossenJobStatus status = GlossenJobStatus::decode(body);
    if (status.job.gatewayJobID != id)
        throw GlossenReplyError(GlossenReplyError::Code::otherJob, u"job.id"_s);
    co_return status;
}

QCoro::Task<GlossenArtifactsResponse> GlossenGatewayClient::listArtifacts(const QString& gatewayJobID)
{
    const QString id = gatewayJobID;
    const GlossenGatewaySettings settings = co_await this->settings();
    const Target target = this->target(settings, {u"v1"_s, u"jobs"_s, id, u"artifacts"_s}, {id});
    const QByteArray body = co_await get(target, options_.jsonReplyLimitBytes, std::nullopt);
    GlossenArtifactsResponse response = GlossenArtifactsResponse::decode(body);
    if (response.gatewayJobID && *response.gatewayJobID != id)
        throw GlossenReplyError(GlossenReplyError::Code::otherJob, u"gateway_job_id"_s);
    co_return response;
}

QCoro::Task<QByteArray> GlossenGatewayClient::downloadArtifact(const QString& gatewayJobID, qint64 artifactID,
                                                               std::optional<qint64> sizeBytes)
{
    const QString id = gatewayJobID;
    const GlossenGatewaySettings settings = co_await this->settings();
    const Target target = this->target(
        settings, {u"v1"_s, u"jobs"_s, id, u"artifacts"_s, QString::number(artifactID), u"download"_s}, {id});
    if (sizeBytes && *sizeBytes < 0)
        throw GlossenTransportError(GlossenTransportError::Code::replyLengthMismatch,
                                    u"the artifact's announced size %1 is not a length"_s.arg(*sizeBytes));
    if (sizeBytes && *sizeBytes > options_.artifactLimitBytes)
        throw GlossenTransportError(GlossenTransportError::Code::replyTooLarge,
                                    u"the artifact is larger than "_s +
                                        GlossenTransportError::sizeText(options_.artifactLimitBytes));
    co_return co_await get(target, options_.artifactLimitBytes, sizeBytes);
}

} // namespace ebbcast
