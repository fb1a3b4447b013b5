#include "transcription/GatewayExchange.h"

#include "transcription/GlossenTransportError.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkReply>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// What the network layer may hold beyond what was taken from it.
constexpr qint64 readBufferBytes = 256 * 1024;

GlossenTransportError networkError(const QNetworkReply& reply, bool headersSeen, int inactivityTimeoutMs)
{
    using Code = GlossenTransportError::Code;
    switch (reply.error()) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError: // the request's own transfer time-out aborts it
        return {Code::timedOut,
                u"timed out after "_s + GlossenTransportError::durationText(inactivityTimeoutMs)};
    case QNetworkReply::ConnectionRefusedError:
        return {Code::connectionRefused, u"connection refused"_s};
    case QNetworkReply::HostNotFoundError:
        return {Code::hostNotFound, u"host not found"_s};
    case QNetworkReply::RemoteHostClosedError:
        return {Code::connectionClosed, headersSeen ? u"the connection closed in the middle of the reply"_s
                                                    : u"the connection closed before a reply"_s};
    case QNetworkReply::SslHandshakeFailedError:
        return {Code::secureConnectionFailed, u"secure connection failed"_s};
    default:
        if (headersSeen)
            return {Code::connectionClosed, u"the reply broke off: "_s + reply.errorString()};
        return {Code::other, reply.errorString()};
    }
}

} // namespace

GatewayExchange::GatewayExchange(QNetworkReply* reply, Limits limits)
    : reply_(reply)
    , limits_(limits)
{
    reply_->setReadBufferSize(readBufferBytes);
    connect(reply_, &QNetworkReply::metaDataChanged, this, &GatewayExchange::headersArrived);
    connect(reply_, &QNetworkReply::readyRead, this, &GatewayExchange::take);
    if (limits_.deadlineMs > 0) {
        deadline_.setSingleShot(true);
        deadline_.setTimerType(Qt::PreciseTimer);
        connect(&deadline_, &QTimer::timeout, this, [this] { stop(Stop::deadline); });
        deadline_.start(limits_.deadlineMs);
    }
}

GatewayExchange::~GatewayExchange()
{
    disconnect(reply_, nullptr, this, nullptr);
    if (!reply_->isFinished())
        reply_->abort();
    reply_->deleteLater();
}

void GatewayExchange::cancel()
{
    stop(Stop::cancelled);
}

void GatewayExchange::headersArrived()
{
    if (headersSeen_)
        return;
    const QVariant status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    headersSeen_ = true;
    status_ = status.toInt();
    // A decoded (compressed) body has another length than the one announced.
    const QByteArray encoding = reply_->rawHeader("Content-Encoding").trimmed().toLower();
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && (encoding.isEmpty() || encoding == "identity"))
        announcedLength_ = length.toLongLong();
    if (!success() || !announcedLength_)
        return;
    if (limits_.exactBodyBytes && *announcedLength_ != *limits_.exactBodyBytes)
        stop(Stop::lengthMismatch);
    else if (*announcedLength_ > limits_.successBodyBytes)
        stop(Stop::tooLarge);
}

void GatewayExchange::take()
{
    if (!headersSeen_)
        headersArrived();
    while (stop_ == Stop::none && reply_->bytesAvailable() > 0) {
        const qint64 room = bodyLimit() - body_.size();
        body_ += reply_->read(std::max<qint64>(0, std::min(reply_->bytesAvailable(), room + 1)));
        if (body_.size() <= bodyLimit())
            continue;
        if (!success()) {
            body_.truncate(limits_.errorBodyBytes);
            bodyCut_ = true;
            stop(Stop::errorBodyFull);
        } else {
            body_.clear();
            stop(Stop::tooLarge);
        }
    }
    if (stop_ == Stop::none && success() && limits_.exactBodyBytes && body_.size() > *limits_.exactBodyBytes)
        stop(Stop::lengthMismatch);
}

void GatewayExchange::stop(Stop reason)
{
    if (stop_ != Stop::none)
        return;
    stop_ = reason;
    if (reply_->isFinished())
        return;
    // Aborting from inside a signal of the reply would finish the awaiting coroutine, and may destroy this
    // object, before the handler returns: abort on the next turn of the event loop instead.
    QMetaObject::invokeMethod(
        this, [this] { reply_->abort(); }, Qt::QueuedConnection);
}

QCoro::Task<GatewayExchange::Outcome> GatewayExchange::finished()
{
    if (!reply_->isFinished())
        co_await reply_;
    deadline_.stop();
    co_return conclude();
}

GlossenTransportError GatewayExchange::lengthMismatch() const
{
    return {GlossenTransportError::Code::replyLengthMismatch,
            u"the reply is not the announced %1 bytes long"_s.arg(*limits_.exactBodyBytes)};
}

GatewayExchange::Outcome GatewayExchange::conclude()
{
    using Code = GlossenTransportError::Code;
    if (!headersSeen_)
        headersArrived();
    if (stop_ == Stop::none)
        take();
    switch (stop_) {
    case Stop::tooLarge:
        throw GlossenTransportError(Code::replyTooLarge, u"the reply is larger than "_s +
                                                             GlossenTransportError::sizeText(bodyLimit()));
    case Stop::lengthMismatch:
        throw lengthMismatch();
    case Stop::deadline:
        throw GlossenTransportError(Code::deadlineExceeded,
                                    u"no complete reply after "_s +
                                        GlossenTransportError::durationText(limits_.deadlineMs));
    case Stop::cancelled:
        throw GlossenTransportError(Code::other, u"the request was cancelled"_s);
    case Stop::none:
    case Stop::errorBodyFull:
        break;
    }
    // A refusal is a refusal even when its body broke off: its status says enough.
    if (headersSeen_ && !success())
        return {status_, body_, bodyCut_};
    if (reply_->error() != QNetworkReply::NoError || !headersSeen_)
        throw networkError(*reply_, headersSeen_, limits_.inactivityTimeoutMs);
    if (announcedLength_ && body_.size() != *announcedLength_)
        throw GlossenTransportError(Code::connectionClosed,
                                    u"the connection closed in the middle of the reply"_s);
    if (limits_.exactBodyBytes && body_.size() != *limits_.exactBodyBytes)
        throw lengthMismatch();
    return {status_, body_, false};
}

} // namespace ebbcast
