#pragma once

#include <QStringList>
#include <QTextStream>

#include <optional>

namespace ebbcast {

class LinuxRecorderFactory;
class RecordingProcessLock;
class RecordingSession;

// "ebbcast record" and "ebbcast recover": recording from a terminal until a duration has passed or the user
// interrupts, and the launch-time repair of a session cut short by a crash.
// Main thread; runs the event loop while it records.
class RecordCommand {
public:
    RecordCommand(RecordingSession& session, LinuxRecorderFactory& recorders,
                  RecordingProcessLock& processLock, QTextStream& out, QTextStream& err);

    // Arguments after "record". 0 when a complete session was recorded, 1 when it could not start or its
    // document could not be completed, 2 for usage errors, 3 when another process is recording, 4 when the
    // session was saved but a track stopped early (each such track is named on standard error).
    int record(const QStringList& arguments);
    int recover();

    static QString usage();

private:
    int usageError(const QString& message);
    int recordSession(std::optional<double> duration);

    RecordingSession& session_;
    LinuxRecorderFactory& recorders_;
    RecordingProcessLock& processLock_;
    QTextStream& out_;
    QTextStream& err_;
};

} // namespace ebbcast
