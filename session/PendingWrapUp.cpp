#include "session/PendingWrapUp.h"

#include "core/base/Logger.h"
#include "core/documents/NewestSessionFolder.h"
#include "core/documents/SessionMetadata.h"
#include "core/documents/WrapUpMetadata.h"
#include "core/json/JsonDocumentFile.h"
#include "session/SessionDocument.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

const QString sessionDocumentName = u"metadata.json"_s;

// The note movie recorded last in `folder`: the highest number ("wrap_up.mov" counts as 1).
std::optional<QString> lastNoteMovie(const QString& folder)
{
    static const QRegularExpression movieName(u"^wrap_up(?:_([1-9][0-9]{0,8}))?\\.mov$"_s);
    std::optional<QString> last;
    long long lastNumber = 0;
    for (const QFileInfo& movie : QDir(folder).entryInfoList({u"wrap_up*.mov"_s}, QDir::Files, QDir::Name)) {
        const QRegularExpressionMatch match = movieName.match(movie.fileName());
        if (!match.hasMatch())
            continue;
        const long long number = match.captured(1).isEmpty() ? 1 : match.captured(1).toLongLong();
        if (number > lastNumber) {
            lastNumber = number;
            last = movie.absoluteFilePath();
        }
    }
    return last;
}

} // namespace

std::optional<SettledWrapUp> settlePendingWrapUp(const QString& recordingsFolder,
                                                 const MovieDurationProbe& duration, Logger& logger)
{
    const std::optional<QString> folder = newestSessionFolderHolding(recordingsFolder, sessionDocumentName);
    if (!folder)
        return std::nullopt;
    const std::optional<QJsonObject> stored =
        JsonDocumentFile::readObject(QDir(*folder).filePath(sessionDocumentName));
    const std::optional<SessionMetadata> session = stored ? SessionMetadata::fromJson(*stored) : std::nullopt;
    if (!session || !session->wrapUp || session->wrapUp->status != WrapUpSessionMetadata::pending().status)
        return std::nullopt;

    (void)repairInterruptedWrapUp(*folder, duration, logger);
    SettledWrapUp settled{*folder, false};
    const std::optional<QString> movie = lastNoteMovie(*folder);
    const QString document = movie ? WrapUpMetadata::pathFor(*movie) : QString();
    settled.recorded = movie && QFileInfo::exists(document);
    SessionDocument::update(*folder, logger, [&](SessionMetadata& metadata) {
        metadata.wrapUp = settled.recorded
                              ? WrapUpSessionMetadata::complete(*movie, document)
                              : WrapUpSessionMetadata::failed(u"Wrap-up note did not produce a file."_s);
    });
    logger.info(u"Settled the wrap-up note left pending in "_s + *folder +
                (settled.recorded ? u": recorded"_s : u": no file"_s));
    return settled;
}

} // namespace ebbcast
