#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QNetworkReply;

namespace ebbcast {

// One Drive request's reply, taken as it arrives. The body is held up to a limit (one for 2xx replies, one
// for the rest); a longer success body ends the exchange, a longer error body is cut. A reply that did not
// arrive whole (refused connection, reset, the request's transfer time-out) is a transport failure with a
// fixed text: never the network layer's own, which may quote the address (and so a session URL).
// Main thread; finished() is awaited once.
class DriveExchange : public QObject {
public:
    struct Limits {
        qint64 successBodyBytes = 1024 * 1024;
        qint64 errorBodyBytes = 64 * 1024;
        int transferTimeoutMs = 60'000; // as set on the request, for the error text
    };

    struct Outcome {
        int status = 0; // 0 with a transport failure
        QByteArray body;
        QByteArray range;      // the "Range" header
        QByteArray location;   // the "Location" header
        QByteArray retryAfter; // the "Retry-After" header
        std::optional<QString> transportFailure;
        bool timedOut = false;

        bool isSuccess() const noexcept { return status >= 200 && status <= 299; }
    };

    // Takes the reply (deleted later with this object). `onUploadProgress` sees the bytes of the request
    // body sent so far.
    DriveExchange(QNetworkReply* reply, Limits limits,
                  std::function<void(qint64 sentBytes)> onUploadProgress = nullptr);
    ~DriveExchange() override;

    QCoro::Task<Outcome> finished();

private:
    void take();

    QNetworkReply* reply_;
    Limits limits_;
    QByteArray body_;
    bool tooLarge_ = false;
    bool cut_ = false;
};

} // namespace ebbcast
