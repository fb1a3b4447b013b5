#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

namespace ebbcast {

// What the control interface on the session bus (and so "ebbcast ctl") asks of the running application.
// Main thread.
class ControlTarget {
public:
    virtual ~ControlTarget() = default;

    // Starts a recording and ends once the start has: the session folder; the running one's when a recording
    // runs already. A failed start throws EbbcastError with its reason.
    virtual QCoro::Task<QString> start() = 0;
    // Stops the recording and ends once the session is saved: its folder; "" when nothing recorded. A failed
    // stop throws EbbcastError.
    virtual QCoro::Task<QString> stop() = 0;
    // The marker's time in the session, in seconds; nothing when no recording runs.
    virtual std::optional<double> createMarker(const QString& label) = 0;
    // "state" ("idle", "starting", "recording", "stopping"), "sessionFolder", "lastSessionFolder",
    // "elapsedSeconds", "transcriptStatus", "uploadStatus".
    virtual QVariantMap status() const = 0;
    // A second launch handed over its arguments and working folder.
    virtual void activate(const QStringList& arguments, const QString& workingDirectory) = 0;
};

} // namespace ebbcast
