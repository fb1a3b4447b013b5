#include "core/base/FileError.h"

#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString describe(FileError::Code code, const QString& path, const QString& reason)
{
    QString operation;
    switch (code) {
    case FileError::Code::createDirectoryFailed:
        operation = u"Could not create the folder"_s;
        break;
    case FileError::Code::readFailed:
        operation = u"Could not read the file"_s;
        break;
    case FileError::Code::writeFailed:
        operation = u"Could not write the file"_s;
        break;
    case FileError::Code::removeFailed:
        operation = u"Could not remove the file"_s;
        break;
    case FileError::Code::lockFailed:
        operation = u"Could not lock the file"_s;
        break;
    }
    return operation + u" \""_s + path + u"\": "_s + reason;
}

} // namespace

FileError::FileError(Code code, const QString& path, const QString& reason)
    : CodedError(code, describe(code, path, reason))
    , path_(path)
{}

FileError FileError::fromErrno(Code code, const QString& path)
{
    return FileError(code, path, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace ebbcast
