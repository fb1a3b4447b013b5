#pragma once

#include "core/base/WallClock.h"
#include "core/documents/ClockSyncMetadata.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace ebbcast {

class Logger;

// Measures the offset between the local clock and a server clock at the start of a session: three GET
// requests to the configured endpoint, one after another; the sample with the smallest round trip wins.
// Never throws and never holds a start for long: each request gives up after its time-out (3 s by default).
// Main thread: sync() is a coroutine on the thread of the shared QNetworkAccessManager; the setters too.
class ClockSyncManager {
public:
    using UptimeClock = std::function<double()>; // seconds on a monotonic clock

    // The settings it follows (app/ keeps them current through the setters below); each sync reads them.
    struct Config {
        bool enabled = false;
        QString url; // the endpoint; surrounding white space is ignored
    };

    ClockSyncManager(Config config, Logger& logger, QNetworkAccessManager& network,
                     WallClock clock = systemTime, UptimeClock uptime = {},
                     int requestTimeoutMs = defaultRequestTimeoutMs);

    void setEnabled(bool enabled);
    void setURL(const QString& url);

    // Nothing when clock sync is off or has no usable endpoint; otherwise "synced" or "failed".
    QCoro::Task<std::optional<ClockSyncMetadata>> sync();

    static constexpr int sampleCount = 3;
    // A dead endpoint holds a start for at most three of these.
    static constexpr int defaultRequestTimeoutMs = 3000;

private:
    QCoro::Task<ClockSyncSample> takeSample(const QUrl& endpoint);

    Config config_;
    Logger& logger_;
    QNetworkAccessManager& network_;
    WallClock clock_;
    UptimeClock uptime_;
    int requestTimeoutMs_;
};

} // namespace ebbcast
