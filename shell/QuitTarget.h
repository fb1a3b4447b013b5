#pragma once

#include <QCoro/QCoroTask>

namespace ebbcast {

// What the quit coordinator needs of the application: whether a recording has to be stopped first, the stop,
// and the orderly destruction of the components. The application implements it over its recording session
// and its wrap-up note recorder. Main thread.
class QuitTarget {
public:
    virtual ~QuitTarget() = default;

    // A recording runs, starts or stops.
    virtual bool isRecordingOrTransitioning() const = 0;
    // Stops the recording session and, if a wrap-up note is being recorded, the note, through the same
    // operation the menu uses, so the session document is complete when it returns. A start or stop already
    // under way is awaited first. Throws when the stop failed.
    virtual QCoro::Task<void> stopForQuit() = 0;
    // Destroys the components in the reverse order of their creation.
    virtual void tearDown() = 0;
};

} // namespace ebbcast
