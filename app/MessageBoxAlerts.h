#pragma once

#include "session/AlertPresenter.h"

#include <QList>
#include <QMessageBox>
#include <QPointer>

namespace ebbcast {

class Console;

// Alerts of the tray application: a warning box titled "Ebbcast" that does not block the event loop, and the
// same text on standard error for a terminal that started the application. Main thread, under a
// QApplication.
class MessageBoxAlerts final : public AlertPresenter {
public:
    explicit MessageBoxAlerts(Console& console);
    ~MessageBoxAlerts() override;

    MessageBoxAlerts(const MessageBoxAlerts&) = delete;
    MessageBoxAlerts& operator=(const MessageBoxAlerts&) = delete;

    void showError(const QString& message) override;

private:
    Console& console_;
    QList<QPointer<QMessageBox>> boxes_; // each deletes itself when closed
};

} // namespace ebbcast
