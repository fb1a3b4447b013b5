#pragma once

#include "AlertPresenter.h"

#include <QTextStream>

namespace ebbcast {

// Alerts of the command line: one line on standard error.
class StandardErrorAlerts : public AlertPresenter {
public:
    explicit StandardErrorAlerts(QTextStream& err)
        : err_(err)
    {}

    void showError(const QString& message) override
    {
        err_ << "ebbcast: " << message << '\n';
        err_.flush();
    }

private:
    QTextStream& err_;
};

} // namespace ebbcast
