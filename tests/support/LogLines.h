#pragma once

#include "core/base/Logger.h"
#include "support/TemporaryFolder.h"

#include <QString>

namespace ebbcast::test {

// How many lines of a log contain `text`, once everything queued has been written.
inline int countLogLines(Logger& logger, const QString& text)
{
    logger.flush();
    int count = 0;
    const QString log = QString::fromUtf8(TemporaryFolder::readAll(logger.logFilePath()));
    for (const QString& line : log.split(u'\n'))
        count += line.contains(text) ? 1 : 0;
    return count;
}

} // namespace ebbcast::test
