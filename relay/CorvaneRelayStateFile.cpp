#include "relay/CorvaneRelayStateFile.h"

#include "core/base/Logger.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

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
    std::optional<CorvaneRelayState> stored;
    const auto decode = [&stored](const QJsonObject& object) {
        stored = CorvaneRelayState::fromJson(object);
        return stored.has_value();
    };
    const auto read = JsonDocumentFile::readState(path(), u"relay state"_s, decode, clock_());
    using Outcome = JsonDocumentFile::StateRead::Outcome;
    switch (read.outcome) {
    case Outcome::decoded:
        return std::move(*stored);
    case Outcome::unreadable:
        throw CorvaneRelayStateReadError(read.message);
    case Outcome::keptAside:
        logger_.error(read.message + u"; the session's relay progress starts again"_s);
        break;
    case Outcome::missing:
        break;
    }
    return CorvaneRelayState::fresh(sessionID, threadKey);
}

void CorvaneRelayStateFile::save(const CorvaneRelayState& state) const
{
    JsonDocumentFile::write(path(), state.toJson(), ownerOnly);
}

} // namespace ebbcast
