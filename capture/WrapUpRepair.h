#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace ebbcast {

class Logger;

// Seconds of pictures and sound a movie holds, none when nothing in it can be read.
using MovieDurationProbe = std::function<std::optional<double>(const QString& moviePath)>;

// Gives every wrap-up movie in the folder ("wrap_up.mov", "wrap_up_N.mov") that has no document beside it
// (its recording process was killed) the document it would have got: ended at the movie's last modification,
// begun its duration earlier. A movie with nothing readable is left as it is, with a log line. Returns the
// documents written.
QStringList repairInterruptedWrapUp(const QString& folder, const MovieDurationProbe& duration,
                                    Logger& logger);

} // namespace ebbcast
