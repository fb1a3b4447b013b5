#include "transcription/LocalGatewayLauncher.h"

#include "core/base/FileError.h"
#include "core/base/FileLock.h"
#include "core/base/Logger.h"
#include "core/base/ServiceURL.h"
#include "core/base/TimerPause.h"
#include "transcription/GatewayExchange.h"
#include "transcription/GlossenGatewayError.h"
#include "transcription/GlossenTransportError.h"
#include "transcription/ServerErrorText.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStandardPaths>

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr qint64 logTailBytes = 4096;

struct PortFile {
    int port = 0;
    qint64 pid = 0;
};

GlossenGatewayError failure(const QString& reason)
{
    return GlossenGatewayError::requestFailed(reason);
}

GlossenGatewayError notInstalled()
{
    return failure(
        u"the local transcription gateway is not installed (ebbcast-gateway not found beside ebbcast "
        u"or on PATH)"_s);
}

void ensureAlive(bool alive)
{
    if (!alive)
        throw failure(u"the local transcription gateway was not reached: the application is closing"_s);
}

QString seconds(int milliseconds)
{
    return GlossenTransportError::durationText(milliseconds);
}

QUrl localURL(int port)
{
    return QUrl(u"http://127.0.0.1:%1/"_s.arg(port));
}

// Only visible ASCII can follow "Bearer " without changing the header.
bool isVisibleAscii(const QString& text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x21 && c.unicode() <= 0x7E; });
}

QString newToken()
{
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(words.data()), static_cast<qsizetype>(sizeof(words)))
            .toHex());
}

QByteArray readSmallFile(const QString& path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return file.read(limit);
}

// "PORT\nPID\n" as the gateway writes it.
std::optional<PortFile> readPortFile(const QString& path)
{
    const QList<QByteArray> lines = readSmallFile(path, 64).split('\n');
    if (lines.size() < 2)
        return std::nullopt;
    bool portOk = false;
    bool pidOk = false;
    const PortFile file{lines.at(0).trimmed().toInt(&portOk), lines.at(1).trimmed().toLongLong(&pidOk)};
    if (!portOk || !pidOk || file.port < 1 || file.port > 65535 || file.pid < 1)
        return std::nullopt;
    return file;
}

QByteArray procPath(qint64 pid, const char* entry)
{
    return "/proc/" + QByteArray::number(pid) + '/' + entry;
}

// A process that has not ended (a zombie has).
bool isRunning(qint64 pid)
{
    const QByteArray stat = readSmallFile(QString::fromLatin1(procPath(pid, "stat")), 1024);
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0 || close + 2 >= stat.size())
        return false;
    const char state = stat.at(close + 2);
    return state != 'Z' && state != 'X' && state != 'x';
}

// A running ebbcast-gateway of this user: its executable, or else the program its command line names.
bool isOwnGateway(qint64 pid)
{
    if (pid < 1 || !isRunning(pid))
        return false;
    struct stat info {};
    if (::stat(procPath(pid, "").constData(), &info) != 0 || info.st_uid != ::getuid())
        return false;
    const QString name = LocalGatewayLauncher::programName.toString();
    std::array<char, 4096> target{};
    const ssize_t length = ::readlink(procPath(pid, "exe").constData(), target.data(), target.size() - 1);
    if (length > 0) {
        const QString executable = QFileInfo(QFile::decodeName(QByteArray(target.data(), length))).fileName();
        if (executable == name || executable == name + u" (deleted)"_s)
            return true;
    }
    const QByteArray commandLine = readSmallFile(QString::fromLatin1(procPath(pid, "cmdline")), 4096);
    const QByteArray program = commandLine.left(commandLine.indexOf('\0'));
    return QFileInfo(QFile::decodeName(program)).fileName() == name;
}

// Makes `path` (0700) when missing and checks that it is a folder of this user that nobody else may write
// to. `ownerOnly`: nobody else may look into it either (made 0700), and it must not be a symbolic link.
void preparePrivateFolder(const QString& path, bool ownerOnly)
{
    const QByteArray name = QFile::encodeName(path);
    const auto refuse = [&path](const QString& reason) {
        return failure(u"the local transcription gateway's folder "_s + path + u" cannot be used: "_s +
                       reason);
    };
    if (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)
        throw refuse(QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info {};
    const int result = ownerOnly ? ::lstat(name.constData(), &info) : ::stat(name.constData(), &info);
    if (result != 0)
        throw refuse(QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())
        throw refuse(u"it is not a folder of this user"_s);
    if ((info.st_mode & 0022) != 0 && !ownerOnly)
        throw refuse(u"other users may write to it"_s);
    if (ownerOnly && (info.st_mode & 0077) != 0 && ::chmod(name.constData(), 0700) != 0)
        throw refuse(QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

struct LocalGatewayLauncher::Inspection {
    enum class State {
        absent,  // no port file, or it names no running gateway of ours
        healthy, // 200
        refused, // another status (another token), or the connection was refused or dropped
        silent,  // no answer within the time
    };
    State state = State::absent;
    qint64 pid = 0;
    int port = 0;
    int status = 0;
};

struct LocalGatewayLauncher::Start {
    QString token;
    bool done = false;
    QUrl url;
    std::exception_ptr failure;
};

LocalGatewayLauncher::LocalGatewayLauncher(QString runtimeFolder, QString program, TokenSink tokenSink,
                                           QNetworkAccessManager& network, Logger& logger, Options options)
    : runtimeFolder_(std::move(runtimeFolder))
    , program_(std::move(program))
    , tokenSink_(std::move(tokenSink))
    , network_(network)
    , logger_(logger)
    , options_(options)
{}

LocalGatewayLauncher::~LocalGatewayLauncher()
{
    *alive_ = false;
}

QString LocalGatewayLauncher::folder() const
{
    return runtimeFolder_ + u'/' + programName.toString();
}

QString LocalGatewayLauncher::portFilePath() const
{
    return folder() + u"/port"_s;
}

QString LocalGatewayLauncher::startLogPath() const
{
    return folder() + u"/start.log"_s;
}

QString LocalGatewayLauncher::runtimeFolder(const QProcessEnvironment& environment)
{
    const QString runtime = environment.value(u"XDG_RUNTIME_DIR"_s);
    if (QDir::isAbsolutePath(runtime))
        return QDir::cleanPath(runtime);
    const QString temporary = environment.value(u"TMPDIR"_s);
    return QDir::cleanPath(QDir::isAbsolutePath(temporary) ? temporary : u"/tmp"_s) + u"/ebbcast-"_s +
           QString::number(::getuid());
}

QString LocalGatewayLauncher::findProgram(const QString& applicationFolder)
{
    const QFileInfo beside(QDir(applicationFolder).filePath(programName.toString()));
    if (!applicationFolder.isEmpty() && beside.isFile() && beside.isExecutable())
        return beside.absoluteFilePath();
    return QStandardPaths::findExecutable(programName.toString());
}

QCoro::Task<GlossenGatewaySettings> LocalGatewayLauncher::resolve(GlossenGatewaySettings stored)
{
    if (!isLocalGatewayAddress(stored.baseURL))
        co_return stored;
    QString token = stored.token.trimmed();
    if (token.isEmpty()) {
        if (generatedToken_.isEmpty()) {
            generatedToken_ = newToken();
            logger_.info(u"Made a new token for the local transcription gateway"_s);
        }
        token = generatedToken_;
        if (tokenSink_)
            tokenSink_(token);
    }
    // A token that cannot go into a header is the client's to refuse; nothing is started for it.
    if (!isVisibleAscii(token))
        co_return stored;
    const QUrl url = co_await baseURL(token);
    co_return GlossenGatewaySettings{url.toString(), token};
}

QCoro::Task<QUrl> LocalGatewayLauncher::baseURL(QString token)
{
    const std::shared_ptr<bool> alive = alive_;
    const std::chrono::milliseconds interval(options_.pollIntervalMs);
    for (;;) {
        if (start_ && !start_->done) {
            const std::shared_ptr<Start> joined = start_;
            while (!joined->done) {
                co_await pauseOnTimer(interval);
                ensureAlive(*alive);
            }
            if (joined->token == token) {
                if (joined->failure)
                    std::rethrow_exception(joined->failure);
                co_return QUrl(joined->url); // a copy: the others who share the start read it too
            }
        }
        const Inspection found = co_await inspect(token, options_.healthTimeoutMs);
        ensureAlive(*alive);
        if (found.state == Inspection::State::healthy)
            co_return localURL(found.port);
        if (found.state == Inspection::State::silent)
            throw failure(
                u"the local transcription gateway (pid %1) did not answer within %2"_s.arg(found.pid).arg(
                    seconds(options_.healthTimeoutMs)));
        if (start_ && !start_->done)
            continue; // another call began a start meanwhile: this one shares it

        const auto begun = std::make_shared<Start>();
        begun->token = token;
        start_ = begun;
        try {
            begun->url = co_await start(token);
        } catch (...) {
            begun->failure = std::current_exception();
        }
        begun->done = true;
        if (begun->failure)
            std::rethrow_exception(begun->failure);
        co_return QUrl(begun->url);
    }
}

QCoro::Task<LocalGatewayLauncher::Inspection> LocalGatewayLauncher::inspect(QString token, int timeoutMs)
{
    Inspection result;
    const std::optional<PortFile> file = readPortFile(portFilePath());
    // The token goes only to a port whose file a running gateway of this user wrote.
    if (!file || !isOwnGateway(file->pid))
        co_return result;
    result.pid = file->pid;
    result.port = file->port;

    QNetworkRequest request(localURL(file->port).resolved(QUrl(u"v1/health"_s)));
    request.setRawHeader("Authorization", "Bearer " + token.toLatin1());
    // No connection is kept open to the gateway, which may be stopped next.
    request.setRawHeader("Connection", "close");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    GatewayExchange::Limits limits;
    limits.successBodyBytes = 64 * 1024;
    limits.errorBodyBytes = 4096;
    limits.inactivityTimeoutMs = timeoutMs;
    limits.deadlineMs = timeoutMs;
    GatewayExchange exchange(network_.get(request), limits);
    try {
        const GatewayExchange::Outcome outcome = co_await exchange.finished();
        result.status = outcome.status;
        result.state = outcome.status == 200 ? Inspection::State::healthy : Inspection::State::refused;
    } catch (const GlossenTransportError& error) {
        const bool silent = error.code() == GlossenTransportError::Code::timedOut ||
                            error.code() == GlossenTransportError::Code::deadlineExceeded;
        result.state = silent ? Inspection::State::silent : Inspection::State::refused;
    }
    co_return result;
}

QCoro::Task<QUrl> LocalGatewayLauncher::start(QString token)
{
    const std::shared_ptr<bool> alive = alive_;
    const std::chrono::milliseconds interval(options_.pollIntervalMs);
    QElapsedTimer clock;
    clock.start();
    if (program_.isEmpty())
        throw notInstalled();
    preparePrivateFolder(runtimeFolder_, false);
    preparePrivateFolder(folder(), true);

    // One process of this user starts at a time; the others find what it started.
    std::unique_ptr<FileLock> lock;
    for (;;) {
        try {
            lock = FileLock::tryAcquire(folder() + u"/start.lock"_s, true).lock;
        } catch (const FileError& error) {
            throw failure(error.description());
        }
        if (lock)
            break;
        if (clock.elapsed() >= options_.startTimeoutMs)
            throw failure(
                u"another Ebbcast process is starting the local transcription gateway, and it did not "
                u"answer within %1"_s.arg(seconds(options_.startTimeoutMs)));
        co_await pauseOnTimer(interval);
        ensureAlive(*alive);
    }

    const Inspection found = co_await inspect(token, options_.healthTimeoutMs);
    ensureAlive(*alive);
    switch (found.state) {
    case Inspection::State::healthy:
        co_return localURL(found.port);
    case Inspection::State::silent:
        throw failure(
            u"the local transcription gateway (pid %1) did not answer within %2"_s.arg(found.pid).arg(
                seconds(options_.healthTimeoutMs)));
    case Inspection::State::refused:
        logger_.info(u"The local transcription gateway (pid %1) %2; it is replaced"_s.arg(found.pid).arg(
            found.status != 0 ? u"answered HTTP %1"_s.arg(found.status) : u"takes no connection"_s));
        co_await stop(found.pid);
        ensureAlive(*alive);
        break;
    case Inspection::State::absent:
        break;
    }

    const QFileInfo program(program_);
    if (!program.isFile() || !program.isExecutable())
        throw failure(u"the local transcription gateway is not installed ("_s + program_ +
                      u" is not an executable file)"_s);
    const qint64 pid = launch(token);
    logger_.info(u"Started the local transcription gateway %1 (pid %2)"_s.arg(program_).arg(pid));
    for (;;) {
        co_await pauseOnTimer(interval);
        ensureAlive(*alive);
        const qint64 left = options_.startTimeoutMs - clock.elapsed();
        const int timeoutMs = static_cast<int>(std::clamp<qint64>(
            left, options_.pollIntervalMs, std::max(options_.healthTimeoutMs, options_.pollIntervalMs)));
        const Inspection now = co_await inspect(token, timeoutMs);
        ensureAlive(*alive);
        if (now.state == Inspection::State::healthy) {
            logger_.info(
                u"The local transcription gateway (pid %1) answers on port %2"_s.arg(now.pid).arg(now.port));
            co_return localURL(now.port);
        }
        if (!isRunning(pid)) {
            const QString line = lastLogLine(token);
            if (line.isEmpty())
                throw failure(
                    u"the local transcription gateway ended right after its start without a message "
                    u"(see %1)"_s.arg(startLogPath()));
            throw failure(u"the local transcription gateway ended right after its start: "_s + line);
        }
        if (clock.elapsed() >= options_.startTimeoutMs)
            throw failure(
                u"the local transcription gateway did not answer within %1 of its start (see %2)"_s.arg(
                    seconds(options_.startTimeoutMs), startLogPath()));
    }
}

QCoro::Task<void> LocalGatewayLauncher::stop(qint64 pid)
{
    const std::shared_ptr<bool> alive = alive_;
    const std::chrono::milliseconds interval(options_.pollIntervalMs);
    const int stopTimeoutMs = options_.stopTimeoutMs;
    if (!isOwnGateway(pid))
        co_return;
    ::kill(static_cast<pid_t>(pid), SIGTERM);
    QElapsedTimer clock;
    clock.start();
    bool killed = false;
    while (isRunning(pid)) {
        if (clock.elapsed() >= stopTimeoutMs) {
            if (killed)
                throw failure(u"the local transcription gateway (pid %1) does not end"_s.arg(pid));
            if (isOwnGateway(pid))
                ::kill(static_cast<pid_t>(pid), SIGKILL);
            killed = true;
            clock.restart();
        }
        co_await pauseOnTimer(interval);
        ensureAlive(*alive);
    }
}

qint64 LocalGatewayLauncher::launch(const QString& token)
{
    {
        // Each start has its own log, readable only by this user.
        QFile log(startLogPath());
        if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate,
                      QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            throw failure(u"cannot write "_s + startLogPath() + u": "_s + log.errorString());
    }
    QProcess process;
    process.setProgram(program_);
    process.setArguments(
        {u"--port-file"_s, portFilePath(), u"--idle-exit"_s, QString::number(options_.idleExitMinutes)});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"EBBCAST_GATEWAY_TOKEN"_s, token);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(startLogPath(), QIODevice::Append);
    qint64 pid = 0;
    if (!process.startDetached(&pid))
        throw failure(u"the local transcription gateway "_s + program_ + u" could not be started: "_s +
                      process.errorString());
    return pid;
}

QString LocalGatewayLauncher::lastLogLine(const QString& token) const
{
    QFile log(startLogPath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    log.seek(std::max<qint64>(0, log.size() - logTailBytes));
    const QList<QByteArray> lines = log.read(logTailBytes).split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (!line->trimmed().isEmpty())
            return ServerErrorText::from(line->trimmed(), false, token);
    }
    return {};
}

} // namespace ebbcast
