#pragma once

#include <QString>

namespace ebbcast {

// Shows the user a short notification (a desktop notification bubble, or a line on standard error without a
// desktop). Fire and forget: it never blocks and never throws; a notification that cannot be shown is at
// most logged. Main thread.
class UserNotifier {
public:
    enum class Kind {
        information, // something finished well ("transfer.complete")
        failure,     // something failed ("transfer.error")
    };

    virtual ~UserNotifier() = default;

    virtual void showNotification(const QString& title, const QString& body, Kind kind) = 0;
};

} // namespace ebbcast
