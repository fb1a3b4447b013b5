#include "gateway/GatewayProgram.h"

#include "core/base/AtomicFile.h"
#include "core/base/BuildInfo.h"
#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "gateway/GatewayHttpService.h"
#include "gateway/GatewayOptions.h"
#include "gateway/JobQueue.h"
#include "gateway/JobStore.h"
#include "gateway/TranscriptionWorkers.h"

#include <QDir>
#include <QFile>

#include <httplib.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr auto tokenVariable = "EBBCAST_GATEWAY_TOKEN"_L1;

QDateTime utcNow()
{
    return QDateTime::currentDateTimeUtc();
}

qint64 steadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The token, or the reason there is none. Never printed.
std::variant<QByteArray, QString> readToken(const QProcessEnvironment& environment, const QString& tokenFile)
{
    const QByteArray fromEnvironment = environment.value(tokenVariable).toUtf8().trimmed();
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    if (tokenFile.isEmpty())
        return u"no token: set %1 or give --token-file"_s.arg(tokenVariable);
    struct stat status {};
    if (::stat(QFile::encodeName(tokenFile).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return u"token file %1 cannot be read"_s.arg(tokenFile);
    if ((status.st_mode & 077) != 0)
        return u"token file %1 must be readable by its owner only (chmod 600)"_s.arg(tokenFile);
    QFile file(tokenFile);
    if (!file.open(QIODevice::ReadOnly))
        return u"token file %1 cannot be read"_s.arg(tokenFile);
    const QByteArray token = file.read(4096).trimmed();
    if (token.isEmpty())
        return u"token file %1 is empty"_s.arg(tokenFile);
    return token;
}

// SIGTERM, SIGINT and SIGHUP are taken by the main thread's wait, never by a handler: blocked here, before
// any thread starts, so every thread inherits the mask.
sigset_t blockStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return signals;
}

// Removes the port file when it still names this process.
void removePortFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> lines = file.readAll().split('\n');
    file.close();
    if (lines.size() >= 2 && lines[1].trimmed().toLongLong() == ::getpid())
        QFile::remove(path);
}

void sweepFinishedJobs(JobQueue& queue, Logger& log, int retentionDays)
{
    const QDateTime cutoff = utcNow().addDays(-retentionDays);
    for (const QString& id : queue.finishedBefore(cutoff)) {
        queue.forget(id);
        log.info(u"job %1 removed after %2 days"_s.arg(id).arg(retentionDays));
    }
}

} // namespace

GatewayProgram::GatewayProgram(GatewayEngine engine, QProcessEnvironment environment, QTextStream& out,
                               QTextStream& err)
    : engine_(std::move(engine))
    , environment_(std::move(environment))
    , out_(out)
    , err_(err)
{}

int GatewayProgram::run(const QStringList& arguments)
{
    const auto parsed = GatewayOptions::parse(arguments);
    if (const auto* problem = std::get_if<QString>(&parsed)) {
        err_ << "ebbcast-gateway: " << *problem << "\n"
             << "Try 'ebbcast-gateway --help'.\n";
        err_.flush();
        return 2;
    }
    GatewayOptions options = std::get<GatewayOptions>(parsed);
    if (options.help) {
        out_ << GatewayOptions::usage();
        return 0;
    }
    if (options.version) {
        out_ << "ebbcast-gateway " << BuildInfo::version << " (build " << BuildInfo::buildNumber << ")\n";
        return 0;
    }
    if (!options.transcribeFiles.isEmpty())
        return engine_.transcribeFiles(options.transcribeFiles, options.modelDirectory, out_, err_);

    // Before any thread starts (the log's, the engine's), so that every thread inherits the mask.
    const sigset_t stopSignals = blockStopSignals();
    const auto fail = [this](int status, const QString& problem) {
        err_ << "ebbcast-gateway: " << problem << "\n";
        err_.flush();
        return status;
    };
    const auto token = readToken(environment_, options.tokenFile);
    if (const auto* problem = std::get_if<QString>(&token))
        return fail(2, *problem);

    if (options.dataDirectory.isEmpty())
        options.dataDirectory = GatewayOptions::defaultDataDirectory(environment_);
    if (options.dataDirectory.isEmpty())
        return fail(2, u"no data folder: HOME is not set; give --data-dir"_s);
    if (!QDir().mkpath(options.dataDirectory))
        return fail(1, u"cannot create the data folder %1"_s.arg(options.dataDirectory));
    QFile::setPermissions(options.dataDirectory,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    std::unique_ptr<FileLock> lock;
    try {
        auto attempt = FileLock::tryAcquire(options.dataDirectory + "/gateway.lock"_L1, true);
        if (attempt.attempt != FileLock::Attempt::acquired)
            return fail(3, u"another gateway uses %1"_s.arg(options.dataDirectory));
        lock = std::move(attempt.lock);
    } catch (const FileError& error) {
        return fail(1, error.description());
    }

    const int workerCount = options.workers > 0
                                ? options.workers
                                : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    // One recognizer now, so that a missing model is reported before anything listens; the other workers
    // load theirs on their own threads, one at a time (an engine's set-up need not be thread-safe).
    auto loading = std::make_shared<std::mutex>();
    const auto loadRecognizer = [this, loading, modelDirectory = options.modelDirectory] {
        std::lock_guard held(*loading);
        return engine_.load(modelDirectory);
    };
    std::unique_ptr<SpeechRecognizer> firstRecognizer;
    try {
        firstRecognizer = loadRecognizer();
    } catch (const std::exception& error) {
        return fail(1, QString::fromUtf8(error.what()));
    }
    const GatewayHttpService::Engine engineName{firstRecognizer->name(), firstRecognizer->version()};

    Logger log(options.dataDirectory + "/gateway.log"_L1);
    std::unique_ptr<JobStore> store;
    try {
        store = std::make_unique<JobStore>(options.dataDirectory);
    } catch (const FileError& error) {
        return fail(1, error.description());
    }
    JobQueue queue(*store, utcNow);
    JobStore::Loaded loaded = store->load();
    for (const QString& problem : loaded.problems)
        log.error(problem);
    for (const QString& event : queue.restore(std::move(loaded.jobs)))
        log.info(event);
    sweepFinishedJobs(queue, log, options.retentionDays);

    httplib::Server server;
    GatewayHttpService service(queue, *store, log, std::get<QByteArray>(token), engineName, {});
    service.install(server);
    int port = options.listenPort;
    const std::string host = options.listenHost.toStdString();
    if (port == 0)
        port = server.bind_to_any_port(host);
    else if (!server.bind_to_port(host, port))
        port = -1;
    if (port <= 0)
        return fail(1, u"cannot listen on %1:%2"_s.arg(options.listenHost).arg(options.listenPort));
    const QString address =
        options.listenHost.contains(u':') ? u"[%1]"_s.arg(options.listenHost) : options.listenHost;
    service.setPublicAddress(u"%1:%2"_s.arg(address).arg(port));
    if (!options.loopbackOnly()) {
        err_ << "ebbcast-gateway: warning: listening on " << address << ":" << port
             << " with plain HTTP: the token and the audio cross the network unencrypted\n";
        err_.flush();
    }

    TranscriptionWorkers workers(queue, *store, log, utcNow, std::move(firstRecognizer), loadRecognizer,
                                 workerCount);
    workers.start();
    // The listener returns once every connection has ended, an idle keep-alive one included.
    std::promise<void> listened;
    std::future<void> listenerDone = listened.get_future();
    std::thread listener([&server, &listened] {
        server.listen_after_bind();
        listened.set_value();
    });

    if (!options.portFile.isEmpty()) {
        try {
            QDir().mkpath(QFileInfo(options.portFile).absolutePath());
            AtomicFile::write(options.portFile, u"%1\n%2\n"_s.arg(port).arg(::getpid()).toUtf8(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        } catch (const FileError& error) {
            log.error(u"port file not written: %1"_s.arg(error.description()));
        }
    }
    log.info(u"gateway %1 listening on %2:%3, %4 workers, engine %5 %6, pid %7"_s.arg(
        QString::fromLatin1(BuildInfo::version), address, QString::number(port), QString::number(workerCount),
        engineName.name, engineName.version, QString::number(::getpid())));

    const qint64 idleLimitMs = static_cast<qint64>(options.idleExitMinutes * 60'000.0);
    qint64 lastSweep = steadyMilliseconds();
    QString reason;
    for (;;) {
        const timespec tick{0, 250'000'000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &tick);
        if (signal > 0) {
            reason = u"signal %1"_s.arg(signal);
            break;
        }
        const qint64 now = steadyMilliseconds();
        if (idleLimitMs > 0 && !queue.busy() && now - service.lastActivity() >= idleLimitMs) {
            reason = u"idle for %1 minutes"_s.arg(options.idleExitMinutes);
            break;
        }
        if (now - lastSweep >= 3'600'000) {
            lastSweep = now;
            sweepFinishedJobs(queue, log, options.retentionDays);
        }
    }

    // Stop taking requests first, so nothing is accepted that is not kept; then end the runs (each job is put
    // back in the queue on disk) and go.
    if (!options.portFile.isEmpty())
        removePortFile(options.portFile);
    server.stop();
    workers.stop();
    log.info(u"gateway stopping: %1"_s.arg(reason));
    log.flush();
    if (listenerDone.wait_for(std::chrono::milliseconds(800)) != std::future_status::ready) {
        // A connection still open (an idle keep-alive one, or an upload trickling in) holds an HTTP thread
        // until its time-out. Nothing on it was acknowledged, and the next start discards what an unfinished
        // upload left in "incoming/".
        log.info(u"gateway stopped with connections open"_s);
        log.flush();
        out_.flush();
        err_.flush();
        std::_Exit(0);
    }
    listener.join();
    return 0;
}

} // namespace ebbcast
