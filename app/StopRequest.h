#pragma once

#include <QCoro/QCoroTask>
#include <QObject>

namespace ebbcast {

// A request to end something that runs until told, from whichever source comes first: a stop signal, a time
// limit. Main thread.
class StopRequest : public QObject {
    Q_OBJECT

public:
    bool isRequested() const { return requested_; }
    void request();
    // Resumes once the stop is requested (at once when it already is).
    QCoro::Task<> requested();

Q_SIGNALS:
    void stopRequested();

private:
    bool requested_ = false;
};

} // namespace ebbcast
