#include "drive/DriveExchange.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkReply>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr qint64 readBufferBytes = 256 * 1024;

QString durationText(int milliseconds)
{
    if (milliseconds % 1000 == 0)
        return u"%1 s"_s.arg(milliseconds / 1000);
    return u"%1 ms"_s.arg(milliseconds);
}

} // namespace

DriveExchange::DriveExchange(QNetworkReply* reply, Limits limits,
                             std::function<void(qint64 sentBytes)> onUploadProgress)
    : reply_(reply)
    , limits_(limits)
{
    reply_->setReadBufferSize(readBufferBytes);
    connect(reply_, &QNetworkReply::readyRead, this, &DriveExchange::take);
    if (onUploadProgress) {
        connect(reply_, &QNetworkReply::uploadProgress, this,
                [progress = std::move(onUploadProgress)](qint64 sent, qint64) { progress(sent); });
    }
}

DriveExchange::~DriveExchange()
{
    disconnect(reply_, nullptr, this, nullptr);
    if (!reply_->isFinished())
        reply_->abort();
    reply_->deleteLater();
}

void DriveExchange::take()
{
    const QVariant statusValue = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusValue.isValid() ? statusValue.toInt() : 0;
    const qint64 limit = status >= 200 && status <= 299 ? limits_.successBodyBytes : limits_.errorBodyBytes;
    while (!tooLarge_ && !cut_ && reply_->bytesAvailable() > 0) {
        const qint64 room = limit - body_.size();
        body_ += reply_->read(std::max<qint64>(0, std::min(reply_->bytesAvailable(), room + 1)));
        if (body_.size() <= limit)
            continue;
        body_.truncate(limit);
        if (status >= 200 && status <= 299)
            tooLarge_ = true;
        else
            cut_ = true;
        // Aborting inside the reply's own signal would finish the awaiting coroutine under our feet.
        QMetaObject::invokeMethod(
            this, [this] { reply_->abort(); }, Qt::QueuedConnection);
    }
}

QCoro::Task<DriveExchange::Outcome> DriveExchange::finished()
{
    if (!reply_->isFinished())
        co_await reply_;
    if (!tooLarge_ && !cut_)
        take();

    Outcome outcome;
    const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const bool headersSeen = status.isValid();
    outcome.status = headersSeen ? status.toInt() : 0;
    outcome.body = body_;
    outcome.range = reply_->rawHeader("Range");
    outcome.location = reply_->rawHeader("Location");
    outcome.retryAfter = reply_->rawHeader("Retry-After");

    if (tooLarge_) {
        outcome.transportFailure = u"the reply is larger than %1 bytes"_s.arg(limits_.successBodyBytes);
    } else if (cut_ || (headersSeen && !outcome.isSuccess())) {
        // A refusal is a refusal even when its body broke off: its status says enough.
    } else if (!headersSeen || reply_->error() != QNetworkReply::NoError) {
        switch (reply_->error()) {
        case QNetworkReply::TimeoutError:
        case QNetworkReply::OperationCanceledError: // the transfer time-out aborts the request
            outcome.timedOut = true;
            outcome.transportFailure = u"no answer within "_s + durationText(limits_.transferTimeoutMs);
            break;
        case QNetworkReply::ConnectionRefusedError:
            outcome.transportFailure = u"connection refused"_s;
            break;
        case QNetworkReply::HostNotFoundError:
            outcome.transportFailure = u"host not found"_s;
            break;
        case QNetworkReply::RemoteHostClosedError:
            outcome.transportFailure = headersSeen ? u"the connection closed in the middle of the reply"_s
                                                   : u"the connection closed before a reply"_s;
            break;
        case QNetworkReply::SslHandshakeFailedError:
            outcome.transportFailure = u"secure connection failed"_s;
            break;
        default:
            outcome.transportFailure =
                headersSeen
                    ? u"the reply broke off"_s
                    : u"the connection failed (network error %1)"_s.arg(static_cast<int>(reply_->error()));
            break;
        }
    }
    if (outcome.transportFailure)
        outcome.status = 0;
    co_return outcome;
}

} // namespace ebbcast
