#pragma once

#include <QFile>
#include <QString>

#include <sys/mount.h>

namespace ebbcast::test {

// Makes a mounted file system (a SmallDisk) read-only, so that every write fails even for root, who is not
// held back by file modes. False when remounting is not allowed here.
inline bool remountReadOnly(const QString& mountPoint)
{
    return ::mount(nullptr, QFile::encodeName(mountPoint).constData(), nullptr, MS_REMOUNT | MS_RDONLY,
                   nullptr) == 0;
}

} // namespace ebbcast::test
