#pragma once

#include "app/MenuBarServices.h"
#include "session/AlertPresenter.h"

#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QString>

namespace ebbcast {

class Console;

// Alerts of the tray application: message boxes titled "Ebbcast", opened with open() so the event loop goes
// on (a question is awaited on the box's signal, never run in a loop of its own), raised above other
// windows, and each deleted when closed. An alert identical to one still open is not shown again (a failing
// command clicked twice gives one box). Errors also go to standard error for a terminal that started the
// application. Main thread, under a QApplication.
class MessageBoxAlerts final : public AlertPresenter, public MenuAlerts {
public:
    explicit MessageBoxAlerts(Console& console);
    ~MessageBoxAlerts() override;

    MessageBoxAlerts(const MessageBoxAlerts&) = delete;
    MessageBoxAlerts& operator=(const MessageBoxAlerts&) = delete;

    // AlertPresenter: a warning.
    void showError(const QString& message) override;

    // MenuAlerts.
    void showInformation(const QString& text, const QString& details = {}) override;
    void showError(const QString& text, const QString& details) override;
    QCoro::Task<bool> ask(const QString& text, const QString& details, const QString& acceptText,
                          const QString& rejectText) override;

    // The boxes open now, oldest first (for tests).
    QList<QMessageBox*> openBoxes() const;

private:
    QMessageBox* findOpen(QMessageBox::Icon icon, const QString& text, const QString& details) const;
    QMessageBox* open(QMessageBox::Icon icon, const QString& text, const QString& details);
    QMessageBox* create(QMessageBox::Icon icon, const QString& text, const QString& details);
    static void present(QMessageBox* box);

    Console& console_;
    QList<QPointer<QMessageBox>> boxes_; // each deletes itself when closed
};

} // namespace ebbcast
