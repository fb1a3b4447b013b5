#pragma once

#include "core/base/EbbcastError.h"
#include "core/base/WallClock.h"
#include "relay/CorvaneRelayState.h"

#include <QLatin1StringView>
#include <QString>

namespace ebbcast {

class Logger;

// The state file exists but could not be read (permissions, an I/O error): the operation must stop and
// write nothing, so that a readable state is never replaced by a fresh one.
class CorvaneRelayStateReadError : public EbbcastError {
public:
    using EbbcastError::EbbcastError;
};

// The relay state of one session folder, kept in ".ebbcast_corvane_state.json" inside it: pretty-printed JSON
// with sorted keys through the document encoder, replaced atomically, mode 0600.
class CorvaneRelayStateFile {
public:
    static constexpr QLatin1StringView fileName{".ebbcast_corvane_state.json"};

    CorvaneRelayStateFile(QString sessionFolder, Logger& logger, WallClock clock = systemTime);

    QString path() const;

    // The stored state, or a fresh one (sessionID and threadKey as given) when the file is missing. A file
    // that reads but does not decode is moved aside as "<file>.corrupt-<UTC time>" with one error line and a
    // fresh state is returned. Throws CorvaneRelayStateReadError when the file cannot be read at all.
    CorvaneRelayState load(const QString& sessionID, const QString& threadKey) const;

    // Throws FileError (or DocumentError); the old file then stays as it was.
    void save(const CorvaneRelayState& state) const;

private:
    QString sessionFolder_;
    Logger& logger_;
    WallClock clock_;
};

} // namespace ebbcast
