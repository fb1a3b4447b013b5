#pragma once

// Lets GoogleTest print Qt values in failure messages. Included into every test source by the build.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& list, std::ostream* out)
{
    *out << '[' << list.join(QStringLiteral(", ")).toStdString() << ']';
}

inline void PrintTo(const QDateTime& date, std::ostream* out)
{
    *out << date.toUTC().toString(Qt::ISODateWithMs).toStdString();
}
