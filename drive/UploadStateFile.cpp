#include "drive/UploadStateFile.h"

#include "core/base/Logger.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr QFileDevice::Permissions ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;

} // namespace

UploadStateFile::UploadStateFile(QString sessionFolder, Logger& logger, WallClock clock)
    : sessionFolder_(std::move(sessionFolder))
    , logger_(logger)
    , clock_(clock ? std::move(clock) : WallClock(systemTime))
{}

QString UploadStateFile::path() const
{
    return QDir(sessionFolder_).filePath(fileName);
}

UploadState UploadStateFile::load() const
{
    const auto result = JsonDocumentFile::read(path());
    using Status = JsonDocumentFile::ReadResult::Status;
    if (result.status == Status::missing)
        return {};
    if (result.status == Status::ok) {
        if (auto state = UploadState::fromJson(result.object))
            return std::move(*state);
    }
    const QString problem = result.status == Status::ok ? u"members of the wrong kind"_s : result.problem;
    const QString kept = keepAside(problem);
    if (kept.isEmpty())
        return {};
    logger_.error(u"Unreadable upload state \""_s + path() + u"\" ("_s + problem + u") kept as \""_s + kept +
                  u"\"; the session's upload starts again from an empty state"_s);
    return {};
}

void UploadStateFile::save(const UploadState& state) const
{
    JsonDocumentFile::write(path(), state.toJson(), ownerOnly);
}

// Moves the unreadable file aside and returns its new path; logs and returns nothing when that fails.
QString UploadStateFile::keepAside(const QString& problem) const
{
    const auto kept = JsonDocumentFile::keepAside(path(), clock_());
    if (!kept.failure.isEmpty()) {
        logger_.error(u"Unreadable upload state \""_s + path() + u"\" ("_s + problem +
                      u") could not be kept aside: "_s + kept.failure +
                      u"; the session's upload starts again from an empty state"_s);
    }
    return kept.path;
}

} // namespace ebbcast
