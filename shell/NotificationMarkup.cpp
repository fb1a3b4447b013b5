#include "shell/NotificationMarkup.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

QString escapeNotificationMarkup(const QString& text)
{
    // Qt escapes &, <, > and "; the apostrophe as a numeric reference, because not every server's markup
    // knows &apos;.
    return text.toHtmlEscaped().replace(u'\'', u"&#39;"_s);
}

} // namespace ebbcast
