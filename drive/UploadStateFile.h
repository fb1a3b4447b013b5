#pragma once

#include "core/base/WallClock.h"
#include "drive/UploadState.h"

#include <QString>

namespace ebbcast {

class Logger;

// The upload state of one session folder, kept in ".ebbcast_upload_state.json" inside it: pretty-printed JSON
// with sorted keys through the document encoder, dates in UTC with whole seconds, replaced atomically, mode
// 0600 (it may hold resumable-session addresses, which are credentials).
class UploadStateFile {
public:
    static constexpr QLatin1StringView fileName{".ebbcast_upload_state.json"};

    UploadStateFile(QString sessionFolder, Logger& logger, WallClock clock = systemTime);

    QString path() const;

    // The stored state; a missing file is the empty state. A file that cannot be read or decoded is moved
    // aside as "<file>.corrupt-<UTC time>" (its name still starts with ".ebbcast_", so it is never uploaded),
    // one error line is logged (never the content) and the empty state is returned.
    UploadState load() const;

    // Throws FileError (or DocumentError) when the state cannot be written; the old file then stays as it
    // was.
    void save(const UploadState& state) const;

private:
    QString keepAside(const QString& problem) const;

    QString sessionFolder_;
    Logger& logger_;
    WallClock clock_;
};

} // namespace ebbcast
