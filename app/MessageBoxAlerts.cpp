#include "app/MessageBoxAlerts.h"

#include "app/Console.h"

#include <QMessageBox>

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
    auto* box = new QMessageBox(QMessageBox::Warning, u"Ebbcast"_s, message, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    boxes_.removeAll(nullptr);
    boxes_.append(box);
    box->show();
}

} // namespace ebbcast
