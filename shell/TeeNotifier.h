#pragma once

#include "core/base/UserNotifier.h"

namespace ebbcast {

// Shows every notification through two notifiers, first then second (headless mode: on the desktop and on
// standard error). Both must outlive it.
class TeeNotifier final : public UserNotifier {
public:
    TeeNotifier(UserNotifier& first, UserNotifier& second);

    void showNotification(const QString& title, const QString& body, Kind kind) override;

private:
    UserNotifier& first_;
    UserNotifier& second_;
};

} // namespace ebbcast
