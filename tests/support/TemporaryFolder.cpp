#include "support/TemporaryFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace ebbcast::test {

TemporaryFolder::TemporaryFolder()
{
    if (!folder_.isValid())
        throw std::runtime_error("cannot create a temporary folder");
}

QByteArray TemporaryFolder::readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void TemporaryFolder::writeAll(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        throw std::runtime_error("cannot write a test file");
}

} // namespace ebbcast::test
