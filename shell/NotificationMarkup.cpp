#include "shell/NotificationMarkup.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

QString escapeNotificationMarkup(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar character : text) {
        switch (character.unicode()) {
        case u'&':
            escaped += u"&amp;"_s;
            break;
        case u'<':
            escaped += u"&lt;"_s;
            break;
        case u'>':
            escaped += u"&gt;"_s;
            break;
        case u'"':
            escaped += u"&quot;"_s;
            break;
        case u'\'':
            // Numeric, because not every server's markup knows &apos;.
            escaped += u"&#39;"_s;
            break;
        default:
            escaped += character;
        }
    }
    return escaped;
}

} // namespace ebbcast
