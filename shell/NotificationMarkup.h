#pragma once

#include <QString>

namespace ebbcast {

// `text` as it must be sent in a notification body to a server that reads the body as markup: &, <, > and
// both quotes become character references, so the text is shown exactly as given.
QString escapeNotificationMarkup(const QString& text);

} // namespace ebbcast
