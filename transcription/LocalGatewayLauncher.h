#pragma once

#include "transcription/GlossenGatewayClient.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QProcessEnvironment;

namespace ebbcast {

class Logger;

// Finds, and starts when needed, the offline transcription gateway of this user ("ebbcast-gateway") for the
// gateway setting "local" (see isLocalGatewayAddress). It keeps its files in <runtime folder>/ebbcast-gateway
// (mode 0700): "port" (written by the gateway: "PORT\nPID\n"), "start.log" (the gateway's standard error,
// so the reason of an early exit can be read) and "start.lock" (held while a process of ours starts one).
//
// resolve() hands any other setting back unchanged. For "local" it uses the stored token (trimmed) or, when
// there is none, a random 256-bit one (64 hexadecimal digits) that it hands to the token sink to be stored.
// It asks the gateway the port file names for GET /v1/health with that token, but only when the file's PID
// is a running "ebbcast-gateway" of this user, so the token never goes to a port someone else took over:
//   200                  the base URL is http://127.0.0.1:PORT/
//   another status, or   it serves another token (or is closing): stopped (SIGTERM, SIGKILL after
//   connection refused   stopTimeoutMs) and replaced
//   no answer in time    the call fails; a gateway that is busy is not killed
//   no port file, no     a new one is started: `<program> --port-file <folder>/port --idle-exit N`,
//   such process         detached (it outlives the application), the token in its environment as
//                        EBBCAST_GATEWAY_TOKEN (never an argument), then the port file and the health are
//                        asked every pollIntervalMs until startTimeoutMs.
// Calls of one launcher share one start; processes share one through the start lock, and the one that waits
// for it finds the gateway the other started. Failures throw GlossenGatewayError::requestFailed with a plain
// reason: not installed, its last line on standard error when it ended early, no answer in time. The token
// appears in no message and no log line.
//
// Main thread: the coroutines run on the thread of the QNetworkAccessManager; waits are timers, never a
// nested event loop. A call still waiting when the launcher is destroyed ends with an error.
class LocalGatewayLauncher {
public:
    using TokenSink = std::function<void(const QString& token)>;

    struct Options {
        int startTimeoutMs = 10'000; // from the start to the first good health answer
        int healthTimeoutMs = 2'000; // one health request
        int idleExitMinutes = 15;    // the gateway ends after this long without requests
        int pollIntervalMs = 100;
        int stopTimeoutMs = 3'000; // from SIGTERM to SIGKILL
    };

    static constexpr QStringView programName = u"ebbcast-gateway";

    // `program` empty: not installed. `runtimeFolder`: see runtimeFolder().
    LocalGatewayLauncher(QString runtimeFolder, QString program, TokenSink tokenSink,
                         QNetworkAccessManager& network, Logger& logger, Options options);
    ~LocalGatewayLauncher();

    LocalGatewayLauncher(const LocalGatewayLauncher&) = delete;
    LocalGatewayLauncher& operator=(const LocalGatewayLauncher&) = delete;

    // The settings a request uses; `stored` as the settings hold them.
    QCoro::Task<GlossenGatewaySettings> resolve(GlossenGatewaySettings stored);

    QString folder() const;
    QString portFilePath() const;
    QString startLogPath() const;

    // $XDG_RUNTIME_DIR when it is an absolute path, else <temporary folder>/ebbcast-<uid> (made 0700 and
    // refused unless it is this user's own folder that nobody else may write to).
    static QString runtimeFolder(const QProcessEnvironment& environment);
    // `applicationFolder`/ebbcast-gateway when it is an executable file, else the first one on PATH; empty
    // when there is none.
    static QString findProgram(const QString& applicationFolder);

private:
    struct Inspection;
    struct Start;

    QCoro::Task<QUrl> baseURL(QString token);
    // What the port file names and how it answers `token`.
    QCoro::Task<Inspection> inspect(QString token, int timeoutMs);
    // Starts a gateway unless another process did meanwhile; under the start lock.
    QCoro::Task<QUrl> start(QString token);
    QCoro::Task<void> stop(qint64 pid);
    // The PID of the gateway started detached.
    qint64 launch(const QString& token);
    // The last line the gateway wrote on standard error, cleaned (no token, no control characters).
    QString lastLogLine(const QString& token) const;

    QString runtimeFolder_;
    QString program_;
    TokenSink tokenSink_;
    QNetworkAccessManager& network_;
    Logger& logger_;
    Options options_;
    QString generatedToken_;
    std::shared_ptr<Start> start_;                               // the start in flight or the last one
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true); // false once destroyed
};

} // namespace ebbcast
