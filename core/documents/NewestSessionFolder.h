#pragma once

#include <QString>

#include <optional>

namespace ebbcast {

// The newest session folder directly under `recordingsFolder` that holds the regular file `fileName`: by the
// folder's modification time (a folder without one counts as the oldest), the first in name order among
// equals. Symbolic links are not followed. Nothing when none does or the folder cannot be listed.
std::optional<QString> newestSessionFolderHolding(const QString& recordingsFolder, const QString& fileName);

} // namespace ebbcast
