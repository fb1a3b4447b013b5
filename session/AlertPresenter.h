#pragma once

#include <QString>

namespace ebbcast {

// Shows a failure of a user command: a warning alert titled "Ebbcast" in the tray application, a line on
// standard error on the command line. The caller does not wait for it. Main thread.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual void showError(const QString& message) = 0;
};

} // namespace ebbcast
