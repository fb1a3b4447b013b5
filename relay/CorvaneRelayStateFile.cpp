#include "relay/CorvaneRelayStateFile.h"

#include "core/base/Logger.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Whether the file's bytes can be read (as opposed to read but not decoded).
bool bytesReadable(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

} // namespace

CorvaneRelayStateFile::CorvaneRelayStateFile(QString sessionFolder, Logger& logger, WallClock clock)
    : sessionFolder_(std::move(sessionFolder))
    , logger_(logger)
    , clock_(clock ? std::move(clock) : WallClock(systemTime))
{}

QString CorvaneRelayStateFile::path() const
{
    return QDir(sessionFolder_).filePath(fileName);
}

CorvaneRelayState CorvaneRelayStateFile::load(const QString& sessionID, const QString& threadKey) const
{
    const QString original = path();
    const auto result = JsonDocumentFile::read(original);
    using Status = JsonDocumentFile::ReadResult::Status;
    if (result.status == Status::missing)
        return CorvaneRelayState::fresh(sessionID, threadKey);
    if (result.status == Status::ok) {
        if (auto state = CorvaneRelayState::fromJson(result.object))
            return std::move(*state);
    } else if (!bytesReadable(original)) {
        throw CorvaneRelayStateReadError(u"Could not read the relay state \""_s + original + u"\": "_s +
                                         result.problem);
    }
    const QString problem = result.status == Status::ok ? u"members of the wrong kind"_s : result.problem;
    const auto kept = JsonDocumentFile::keepAside(original, clock_());
    if (!kept.failure.isEmpty()) {
        throw CorvaneRelayStateReadError(u"Unreadable relay state \""_s + original + u"\" ("_s + problem +
                                         u") could not be kept aside: "_s + kept.failure);
    }
    const QString backup = kept.path;
    logger_.error(u"Unreadable relay state \""_s + original + u"\" ("_s + problem + u") kept as \""_s +
                  backup + u"\"; the session's relay progress starts again"_s);
    return CorvaneRelayState::fresh(sessionID, threadKey);
}

void CorvaneRelayStateFile::save(const CorvaneRelayState& state) const
{
    JsonDocumentFile::write(path(), state.toJson(), ownerOnly);
}

} // namespace ebbcast
