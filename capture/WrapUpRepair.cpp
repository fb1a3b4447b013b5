#include "capture/WrapUpRepair.h"

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "core/documents/WrapUpMetadata.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {

QStringList repairInterruptedWrapUp(const QString& folder, const MovieDurationProbe& duration, Logger& logger)
{
    static const QRegularExpression movieName(u"^wrap_up(_[1-9][0-9]*)?\\.mov$"_s);
    QStringList written;
    const QFileInfoList movies = QDir(folder).entryInfoList({u"wrap_up*.mov"_s}, QDir::Files, QDir::Name);
    for (const QFileInfo& movie : movies) {
        if (!movieName.match(movie.fileName()).hasMatch())
            continue;
        const QString moviePath = movie.absoluteFilePath();
        const QString documentPath = WrapUpMetadata::pathFor(moviePath);
        if (QFileInfo::exists(documentPath))
            continue;
        const std::optional<double> seconds = duration(moviePath);
        if (!seconds || !std::isfinite(*seconds) || *seconds <= 0) {
            logger.error(u"Interrupted wrap-up note \""_s + moviePath +
                         u"\" holds nothing playable; left without a document"_s);
            continue;
        }
        const QDateTime end = movie.lastModified().toUTC();
        const QDateTime start = end.addMSecs(-std::llround(*seconds * 1000.0));
        try {
            JsonDocumentFile::write(documentPath, WrapUpMetadata::forMovie(moviePath, start, end).toJson());
            written.append(documentPath);
            logger.info(u"Repaired interrupted wrap-up note: "_s + moviePath);
        } catch (const EbbcastError& error) {
            logger.error(u"Failed to write wrap-up metadata: "_s + error.description());
        }
    }
    return written;
}

} // namespace ebbcast
