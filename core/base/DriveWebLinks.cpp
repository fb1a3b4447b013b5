#include "core/base/DriveWebLinks.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString segment(const QString& id)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

} // namespace

DriveWebLinks::DriveWebLinks(QUrl webURL)
    : base_(webURL.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::StripTrailingSlash)
                .toString(QUrl::FullyEncoded))
{}

QString DriveWebLinks::fileLink(const QString& fileID) const
{
    return link(u"/file/d/"_s + segment(fileID) + u"/view"_s);
}

QString DriveWebLinks::folderLink(const QString& folderID) const
{
    return link(u"/drive/folders/"_s + segment(folderID));
}

QString DriveWebLinks::link(const QString& path) const
{
    return base_ + path;
}

} // namespace ebbcast
