#include "shell/TeeNotifier.h"

namespace ebbcast {

TeeNotifier::TeeNotifier(UserNotifier& first, UserNotifier& second)
    : first_(first)
    , second_(second)
{}

void TeeNotifier::showNotification(const QString& title, const QString& body, Kind kind)
{
    first_.showNotification(title, body, kind);
    second_.showNotification(title, body, kind);
}

} // namespace ebbcast
