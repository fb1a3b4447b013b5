#include "relay/RelaySender.h"

#include "core/base/Logger.h"
#include "drive/DriveExchange.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {

RelaySender::RelaySender(QUrl endpoint, Logger& logger, QNetworkAccessManager& network,
                         std::chrono::milliseconds exchangeDeadline)
    : endpoint_(std::move(endpoint))
    , logger_(logger)
    , network_(network)
    , deadline_(exchangeDeadline)
{}

QCoro::Task<SendResult> RelaySender::send(QString event, QByteArray body, QString token)
{
    QNetworkRequest request(endpoint_);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(0);

    QNetworkReply* reply = network_.post(request, body);
    const auto deadlineMs = static_cast<int>(deadline_.count());
    auto exchange =
        std::make_unique<DriveExchange>(reply, DriveExchange::Limits{.successBodyBytes = replyBodyLimit,
                                                                     .errorBodyBytes = replyBodyLimit,
                                                                     .transferTimeoutMs = deadlineMs});
    // Declared after the exchange so that it stops before the reply goes.
    auto deadline = std::make_unique<QTimer>();
    deadline->setSingleShot(true);
    QObject::connect(deadline.get(), &QTimer::timeout, reply, [reply] { reply->abort(); });
    deadline->start(deadlineMs);

    auto finished = exchange->finished();
    const DriveExchange::Outcome outcome = co_await std::move(finished);
    deadline.reset();
    exchange.reset();

    if (outcome.transportFailure) {
        logger_.error(u"Corvane Pelko delivery failed: "_s + *outcome.transportFailure);
        co_return SendResult{};
    }
    if (!outcome.isSuccess()) {
        logger_.error(u"Corvane Pelko delivery failed status="_s + QString::number(outcome.status) +
                      u" body="_s + escapedExcerpt(outcome.body, token));
        co_return SendResult{};
    }
    const std::optional<QString> identifier = PelkoNotifyResponse::decode(outcome.body).threadIdentifier();
    logger_.info(u"Corvane Pelko delivery succeeded event="_s + event + u" ts="_s +
                 identifier.value_or(u"not_returned"_s));
    co_return SendResult{.accepted = true, .threadIdentifier = identifier};
}

} // namespace ebbcast
