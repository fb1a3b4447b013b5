#pragma once

#include "core/base/DriveWebLinks.h"
#include "core/base/WallClock.h"
#include "core/documents/RecordingChunkMetadata.h"
#include "drive/DriveInfo.h"
#include "drive/UploadState.h"
#include "relay/CorvaneRelayState.h"
#include "relay/CorvaneSessionGate.h"
#include "relay/PelkoReadyPayload.h"
#include "relay/RelayDelivery.h"
#include "relay/RelayEvents.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace ebbcast {

class Logger;

// Posts the life of each recording session into one chat thread through the relay: the session-started
// event opens the thread (its parent), every later event is a reply in it.
//
// Every event goes to the session's outbox (the relay state's "pending_events", with its exact body) before
// it is sent, and moves to the posted keys once the relay accepted it. Each operation on a session first
// sends the session's pending events, oldest first, stopping at the first failure; a session whose parent is
// blocked for good queues nothing. A resend carries the same idempotency key and body, so a relay that
// deduplicates by key posts each event once even when an accepted request's reply was lost.
//
// The state of a session is read and written only under the session's gate (in this process and across
// processes). Main thread.
class CorvanePelkoNotifier {
public:
    struct Config {
        QUrl endpoint; // empty: not configured
        QString recorderID;
        QString recorderName;
        QString pelkoUserID;
    };
    using TokenSource = std::function<QString()>; // default: CORVANE_PELKO_RELAY_TOKEN, read anew each call
    struct Timing {
        std::chrono::milliseconds exchangeDeadline{60'000};
        WallClock clock = systemTime;
    };

    CorvanePelkoNotifier(Config config, Logger& logger, QNetworkAccessManager& network, DriveWebLinks links);
    CorvanePelkoNotifier(Config config, Logger& logger, QNetworkAccessManager& network, DriveWebLinks links,
                         TokenSource token, Timing timing);

    void setRecorderID(const QString& recorderID) { config_.recorderID = recorderID; }
    void setRecorderName(const QString& recorderName) { config_.recorderName = recorderName; }
    void setPelkoUserID(const QString& pelkoUserID) { config_.pelkoUserID = pelkoUserID; }

    QCoro::Task<RelayDelivery> notifyRecordingSessionStarted(QString folder);
    QCoro::Task<RelayDelivery> notifyRecordingReady(QString folder, std::optional<UploadState> state);
    QCoro::Task<RelayDelivery> notifyRecordingChunkReady(QString folder, QString file,
                                                         std::optional<UploadState> state);
    QCoro::Task<RelayDelivery> notifyRecordingChunkTranscribed(ChunkTranscribedEvent event);
    QCoro::Task<RelayDelivery> notifySessionTranscriptReady(SessionTranscriptReadyEvent event);
    // Sends the pending events of each of these session folders that has any.
    QCoro::Task<void> resumePendingRelayEvents(QStringList sessionFolders);

    // Whether the event was accepted by the relay or waits in the session's outbox.
    bool isRelayEventRecorded(const QString& folder, const QString& event,
                              std::optional<ChunkRef> chunk) const;

    CorvaneSessionGate& gate() noexcept { return gate_; }

private:
    std::optional<QString> relayToken() const;
    PelkoReadyPayload commonPayload(const QString& folder, const QString& threadKey,
                                    const QString& event) const;
    DriveInfo driveInfo(const QString& folder, const QString& file,
                        const std::optional<UploadState>& state) const;
    QString threadKeyFor(const QString& folder) const;
    // Queues the event (unless recorded) and delivers the session's outbox.
    QCoro::Task<RelayDelivery> post(QString folder, std::optional<ChunkRef> chunk, PelkoReadyPayload payload,
                                    bool isFinal);
    QCoro::Task<std::optional<QString>> ensureParentThread(QString folder, QString token,
                                                           CorvaneRelayState& state);
    // Sends pending events oldest first; false at the first that is not delivered.
    QCoro::Task<bool> drainOutbox(QString folder, QString token, CorvaneRelayState& state);

    Config config_;
    Logger& logger_;
    QNetworkAccessManager& network_;
    DriveWebLinks links_;
    TokenSource token_;
    Timing timing_;
    CorvaneSessionGate gate_;
};

} // namespace ebbcast
