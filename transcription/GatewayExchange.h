#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QObject>
#include <QTimer>

#include <optional>

class QNetworkReply;

namespace ebbcast {

class GlossenTransportError;

// Takes one gateway reply as it arrives and ends it early when it breaks its limits, so a huge or endless
// body is never held: a success body over its limit (or longer than an announced exact size) fails at once;
// an error body is kept up to its own limit and the rest is not read. A request that must end at a fixed time
// (the GETs) gets an overall deadline; silence is the inactivity time-out of the request itself.
// Main thread: lives on the reply's thread; `finished()` is awaited once.
class GatewayExchange : public QObject {
public:
    struct Limits {
        qint64 successBodyBytes = 0;
        qint64 errorBodyBytes = 0;
        std::optional<qint64> exactBodyBytes; // a success body of exactly this length
        int inactivityTimeoutMs = 0;          // as set on the request, for the error text
        int deadlineMs = 0;                   // 0: none
    };

    struct Outcome {
        int status = 0;
        QByteArray body;
        bool bodyCut = false; // an error body longer than its limit: this is its start
    };

    // Takes the reply (deleted later with this object).
    GatewayExchange(QNetworkReply* reply, Limits limits);
    ~GatewayExchange() override;

    // Ends the exchange from outside (a failed upload body); finished() then throws nothing of its own for
    // it.
    void cancel();
    bool cancelled() const noexcept { return stop_ == Stop::cancelled; }

    // The status and body of any HTTP reply, 2xx or not. Throws GlossenTransportError when no complete reply
    // arrived within the limits.
    QCoro::Task<Outcome> finished();

private:
    enum class Stop { none, errorBodyFull, tooLarge, lengthMismatch, deadline, cancelled };

    void headersArrived();
    void take();
    void stop(Stop reason);
    bool success() const noexcept { return status_ >= 200 && status_ <= 299; }
    qint64 bodyLimit() const noexcept
    {
        return success() ? limits_.successBodyBytes : limits_.errorBodyBytes;
    }
    Outcome conclude();
    GlossenTransportError lengthMismatch() const;

    QNetworkReply* reply_;
    Limits limits_;
    QTimer deadline_;
    bool headersSeen_ = false;
    int status_ = 0;
    std::optional<qint64> announcedLength_; // Content-Length of an unencoded body
    QByteArray body_;
    bool bodyCut_ = false;
    Stop stop_ = Stop::none;
};

} // namespace ebbcast
