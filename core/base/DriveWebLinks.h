#pragma once

#include <QString>
#include <QUrl>

namespace ebbcast {

// The Drive web pages of a file and of a folder, on the Drive web host (GoogleEndpoints::driveWebURL in
// drive/):
// "<host>/file/d/<id>/view" and "<host>/drive/folders/<id>". The id is percent-encoded as one path segment,
// so an id from a server or a document cannot point the link at another page. An empty id still yields a
// link that ends in "/drive/folders/".
class DriveWebLinks {
public:
    explicit DriveWebLinks(QUrl webURL);

    QString fileLink(const QString& fileID) const;
    QString folderLink(const QString& folderID) const;

private:
    QString link(const QString& path) const;

    QString base_; // the web URL without a trailing "/"
};

} // namespace ebbcast
