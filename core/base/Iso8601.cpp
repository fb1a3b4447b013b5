#include "core/base/Iso8601.h"

#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace ebbcast {

QString Iso8601::format(const QDateTime& date)
{
    // Whole seconds, rounded down, so 09:15:02.700 is written as 09:15:02 (also before 1970).
    const qint64 milliseconds = date.toMSecsSinceEpoch();
    const qint64 seconds = milliseconds >= 0 ? milliseconds / 1000 : -((-milliseconds + 999) / 1000);
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(u"yyyy-MM-ddTHH:mm:ss'Z'"_s);
}

std::optional<QDateTime> Iso8601::parse(const QString& text)
{
    static const QRegularExpression pattern(
        u"^(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(Z|([+-])(\\d{2}):(\\d{2}))$"_s);
    const auto match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&match](int group) {
        return match.capturedView(group).toInt();
    };
    const QDate date(number(1), number(2), number(3));
    const QTime time(number(4), number(5), number(6));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    int offsetSeconds = 0;
    if (match.capturedView(7) != u"Z") {
        const int hours = number(9);
        const int minutes = number(10);
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (match.capturedView(8) == u"-" ? -1 : 1);
    }
    const QDateTime local(date, time, Qt::UTC);
    return local.addSecs(-offsetSeconds);
}

} // namespace ebbcast
