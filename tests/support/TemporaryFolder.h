#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace ebbcast::test {

// A fresh folder removed with its content at the end of the test.
class TemporaryFolder {
public:
    TemporaryFolder();

    QString path() const { return folder_.path(); }
    QString file(const QString& name) const { return folder_.filePath(name); }

    static QByteArray readAll(const QString& path);
    static void writeAll(const QString& path, const QByteArray& bytes);

private:
    QTemporaryDir folder_;
};

} // namespace ebbcast::test
