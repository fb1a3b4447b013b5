#pragma once

#include "relay/PelkoNotifyResponse.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <chrono>

class QNetworkAccessManager;

namespace ebbcast {

class Logger;

// Posts one request body to the relay and reads its reply. One deadline covers the whole exchange
// (connecting, sending, every byte of the reply); no redirect is followed (a 3xx is a refusal, the target
// gets nothing); at most 64 KiB of reply body is read (a longer success body is a failure, a longer refusal
// is cut). The outcome is logged: success with the thread identifier, a refusal with its status and at most
// 512 bytes of its body, escaped, with the token shown as "***"; a transport failure with a fixed text. Main
// thread.
class RelaySender {
public:
    static constexpr qint64 replyBodyLimit = 64 * 1024;

    RelaySender(QUrl endpoint, Logger& logger, QNetworkAccessManager& network,
                std::chrono::milliseconds exchangeDeadline);

    // `event` names the event in the success line.
    QCoro::Task<SendResult> send(QString event, QByteArray body, QString token);

private:
    QUrl endpoint_;
    Logger& logger_;
    QNetworkAccessManager& network_;
    std::chrono::milliseconds deadline_;
};

} // namespace ebbcast
