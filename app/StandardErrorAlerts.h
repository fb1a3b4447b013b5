#pragma once

#include "app/Console.h"
#include "session/AlertPresenter.h"

namespace ebbcast {

// Alerts of the command line: one line on standard error.
class StandardErrorAlerts : public AlertPresenter {
public:
    explicit StandardErrorAlerts(Console& console)
        : console_(console)
    {}

    void showError(const QString& message) override { console_.error(message); }

private:
    Console& console_;
};

} // namespace ebbcast
