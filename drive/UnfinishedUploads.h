#pragma once

#include <QString>
#include <QStringList>

namespace ebbcast {

class Logger;

// The sessions directly under `recordingsFolder` whose whole-session upload was cut short (by a quit, a crash
// or a failure): folders that hold an upload state and no active-recording marker (`activeMarkerName`), with
// at least one file to upload that the state does not record. Newest session first (session folders are
// named by their start time). A session never uploaded (no upload state) is not listed: uploads were off
// when it ended. Unreadable entries are skipped.
QStringList sessionsWithUnfinishedUploads(const QString& recordingsFolder, const QString& activeMarkerName,
                                          Logger& logger);

} // namespace ebbcast
