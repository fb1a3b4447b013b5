#include "clocksync/ClockSyncManager.h"

#include "clocksync/ClockSyncError.h"
#include "core/base/Logger.h"
#include "core/json/ShortestNumber.h"

#include <QCoro/QCoroNetworkReply>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// An error with the text of a transport failure or of the JSON parser.
class SampleError : public EbbcastError {
public:
    using EbbcastError::EbbcastError;
};

// "server_time" only counts with fractional seconds: 2026-12-06T08:30:38.250Z.
std::optional<QDateTime> serverTimeWithFraction(const QString& text)
{
    static const QRegularExpression form(
        u"^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d+(Z|[+-]\\d{2}:\\d{2})$"_s);
    if (!form.match(text).hasMatch())
        return std::nullopt;
    QDateTime parsed = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return std::nullopt;
    return parsed.toUTC();
}

QDateTime serverTimeFrom(const QByteArray& body)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw SampleError(parseError.errorString());
    if (!document.isObject())
        throw ClockSyncError(ClockSyncError::Code::invalidPayload);
    const QJsonObject object = document.object();
    const QJsonValue unixMs = object.value(u"unix_ms"_s);
    if (unixMs.isDouble()) {
        const double milliseconds = unixMs.toDouble();
        if (std::isfinite(milliseconds))
            return QDateTime::fromMSecsSinceEpoch(std::llround(milliseconds), Qt::UTC);
    }
    const QJsonValue serverTime = object.value(u"server_time"_s);
    if (serverTime.isString()) {
        if (const auto parsed = serverTimeWithFraction(serverTime.toString()))
            return *parsed;
    }
    throw ClockSyncError(ClockSyncError::Code::invalidPayload);
}

QString decimal(double value)
{
    return QString::fromLatin1(ShortestNumber::format(value));
}

} // namespace

ClockSyncManager::ClockSyncManager(Config config, Logger& logger, QNetworkAccessManager& network,
                                   WallClock clock, UptimeClock uptime, int requestTimeoutMs)
    : config_(std::move(config))
    , logger_(logger)
    , network_(network)
    , clock_(std::move(clock))
    , uptime_(uptime ? std::move(uptime) : UptimeClock(monotonicSeconds))
    , requestTimeoutMs_(requestTimeoutMs)
{}

void ClockSyncManager::setEnabled(bool enabled)
{
    config_.enabled = enabled;
}

void ClockSyncManager::setURL(const QString& url)
{
    config_.url = url;
}

QCoro::Task<std::optional<ClockSyncMetadata>> ClockSyncManager::sync()
{
    const QString endpoint = config_.url.trimmed();
    const QUrl url(endpoint, QUrl::StrictMode);
    if (!config_.enabled || endpoint.isEmpty() || !url.isValid() || url.isRelative())
        co_return std::nullopt;

    ClockSyncMetadata result;
    result.provider = u"server"_s;
    result.url = endpoint;
    for (int i = 0; i < sampleCount; ++i) {
        try {
            result.samples.push_back(co_await takeSample(url));
        } catch (const EbbcastError& error) {
            logger_.error(u"Clock sync sample failed: "_s + error.description());
        }
    }
    if (result.samples.empty()) {
        result.status = u"failed"_s;
        co_return result;
    }
    const ClockSyncSample* best = &result.samples.front();
    for (const ClockSyncSample& sample : result.samples) {
        if (sample.roundTripMilliseconds < best->roundTripMilliseconds)
            best = &sample; // strictly smaller: on a tie the earlier sample stays
    }
    result.bestSample = *best;
    result.status = u"synced"_s;
    logger_.info(u"Clock sync completed offset_ms="_s + decimal(best->estimatedOffsetMilliseconds) +
                 u" rtt_ms="_s + decimal(best->roundTripMilliseconds));
    co_return result;
}

QCoro::Task<ClockSyncSample> ClockSyncManager::takeSample(const QUrl& endpoint)
{
    ClockSyncSample sample;
    sample.clientSendTime = clock_();
    sample.clientSendMonotonic = uptime_();
    QNetworkRequest request(endpoint);
    request.setTransferTimeout(requestTimeoutMs_);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
        network_.get(request), [](QNetworkReply* r) { r->deleteLater(); });
    co_await reply.get();
    sample.clientReceiveTime = clock_();
    sample.clientReceiveMonotonic = uptime_();

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid()) {
        // No HTTP answer at all: refused, timed out, not HTTP.
        throw SampleError(reply->errorString());
    }
    if (status.toInt() < 200 || status.toInt() > 299)
        throw ClockSyncError(ClockSyncError::Code::badResponse);
    if (reply->error() != QNetworkReply::NoError)
        throw SampleError(reply->errorString());

    sample.serverTime = serverTimeFrom(reply->readAll());
    // The round trip comes from the monotonic stamps: the wall clock may step while a request is under way.
    // Whole microseconds: the stamps are seconds in doubles, whose differences carry rounding noise.
    const double roundTrip =
        std::round(std::max(0.0, sample.clientReceiveMonotonic - sample.clientSendMonotonic) * 1e6) / 1e6;
    const double midpointMs =
        static_cast<double>(sample.clientSendTime.toMSecsSinceEpoch()) + roundTrip * 500.0;
    sample.roundTripMilliseconds = roundTrip * 1000.0;
    sample.estimatedOffsetMilliseconds =
        static_cast<double>(sample.serverTime.toMSecsSinceEpoch()) - midpointMs;
    co_return sample;
}

} // namespace ebbcast
