#include "support/SmallDisk.h"

#include <QDir>
#include <QFile>

#include <sys/mount.h>

namespace ebbcast::test {

SmallDisk::SmallDisk(const QString& mountPoint, int kilobytes)
    : mountPoint_(mountPoint)
{
    QDir().mkpath(mountPoint);
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + 'k';
    mounted_ =
        ::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, options.constData()) == 0;
}

SmallDisk::~SmallDisk()
{
    unmount();
}

void SmallDisk::unmount()
{
    if (mounted_)
        ::umount(QFile::encodeName(mountPoint_).constData());
    mounted_ = false;
}

} // namespace ebbcast::test
