#include "app/MessageBoxAlerts.h"

#include "app/Console.h"

#include <QCoro/QCoroSignal>
#include <QLabel>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace ebbcast {

MessageBoxAlerts::MessageBoxAlerts(Console& console)
    : console_(console)
{}

MessageBoxAlerts::~MessageBoxAlerts()
{
    // Boxes still open go with the alerts.
    for (const QPointer<QMessageBox>& box : std::as_const(boxes_))
        delete box.data();
}

void MessageBoxAlerts::showError(const QString& message)
{
    console_.error(message);
    if (!findOpen(QMessageBox::Warning, message, {}))
        open(QMessageBox::Warning, message, {});
}

void MessageBoxAlerts::showInformation(const QString& text, const QString& details)
{
    if (!findOpen(QMessageBox::Information, text, details))
        open(QMessageBox::Information, text, details);
}

void MessageBoxAlerts::showError(const QString& text, const QString& details)
{
    console_.error(details.isEmpty() ? text : text + u" "_s + details);
    if (!findOpen(QMessageBox::Critical, text, details))
        open(QMessageBox::Critical, text, details);
}

QCoro::Task<bool> MessageBoxAlerts::ask(const QString& text, const QString& details,
                                        const QString& acceptText, const QString& rejectText)
{
    if (QMessageBox* same = findOpen(QMessageBox::Question, text, details)) {
        // The question is on screen already: raised again rather than asked twice.
        same->raise();
        same->activateWindow();
        co_return false;
    }
    const QPointer<QMessageBox> box = create(QMessageBox::Question, text, details);
    // Deleted once the answer is in: a box deleted on closing would take the queued wake-up with it.
    box->setAttribute(Qt::WA_DeleteOnClose, false);
    box->setStandardButtons(QMessageBox::NoButton);
    QPushButton* accept = box->addButton(acceptText, QMessageBox::AcceptRole);
    QPushButton* reject = box->addButton(rejectText, QMessageBox::RejectRole);
    box->setDefaultButton(accept);
    box->setEscapeButton(reject);
    present(box);
    const QPointer<QPushButton> acceptButton(accept);
    bool accepted = false;
    QObject::connect(
        box, &QMessageBox::buttonClicked, box,
        [&accepted, acceptButton](QAbstractButton* button) { accepted = button == acceptButton; });
    // finished comes once the box closes, however it closes (a button, Escape, the window's close button).
    co_await qCoro(box.data(), &QMessageBox::finished);
    if (box)
        box->deleteLater();
    co_return accepted;
}

QList<QMessageBox*> MessageBoxAlerts::openBoxes() const
{
    QList<QMessageBox*> open;
    for (const QPointer<QMessageBox>& box : boxes_) {
        if (box && box->isVisible())
            open.append(box.data());
    }
    return open;
}

QMessageBox* MessageBoxAlerts::findOpen(QMessageBox::Icon icon, const QString& text,
                                        const QString& details) const
{
    for (QMessageBox* box : openBoxes()) {
        if (box->icon() == icon && box->text() == text && box->informativeText() == details)
            return box;
    }
    return nullptr;
}

QMessageBox* MessageBoxAlerts::open(QMessageBox::Icon icon, const QString& text, const QString& details)
{
    QMessageBox* box = create(icon, text, details);
    present(box);
    return box;
}

QMessageBox* MessageBoxAlerts::create(QMessageBox::Icon icon, const QString& text, const QString& details)
{
    auto* box = new QMessageBox(icon, u"Ebbcast"_s, text, QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(details);
    // Details carry servers' and devices' words: never read as markup.
    if (auto* label = box->findChild<QLabel*>(u"qt_msgbox_informativelabel"_s))
        label->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    boxes_.removeAll(nullptr);
    boxes_.append(box);
    return box;
}

void MessageBoxAlerts::present(QMessageBox* box)
{
    box->open();
    box->raise();
    box->activateWindow();
}

} // namespace ebbcast
