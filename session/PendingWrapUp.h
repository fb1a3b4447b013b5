#pragma once

#include "capture/WrapUpRepair.h"

#include <QString>

#include <optional>

namespace ebbcast {

class Logger;

// What became of a wrap-up note left pending in a session's document.
struct SettledWrapUp {
    QString sessionFolder;
    bool recorded = false; // the document now names the note's movie; false: the note is marked failed
};

// A session's upload waits for the wrap-up note recorded into it; a process killed while the note records
// leaves the note "pending" and the session never uploaded. This settles the newest session of the recordings
// folder if its note is pending: the movies the kill left without a document get one
// (repairInterruptedWrapUp), then the newest note movie with a document is named in the session's document as
// completed, or, with none, the note is marked failed "Wrap-up note did not produce a file." Nothing when the
// newest session's note is not pending. The caller uploads the folder.
std::optional<SettledWrapUp> settlePendingWrapUp(const QString& recordingsFolder,
                                                 const MovieDurationProbe& duration, Logger& logger);

} // namespace ebbcast
