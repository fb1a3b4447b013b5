#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// A file-system operation failed. The description names the operation, the path and the system's reason.
enum class FileErrorCode { createDirectoryFailed, readFailed, writeFailed, removeFailed, lockFailed };

class FileError : public CodedError<FileErrorCode> {
public:
    FileError(Code code, const QString& path, const QString& reason);

    // Builds the error from the current errno.
    static FileError fromErrno(Code code, const QString& path);

    const QString& path() const noexcept { return path_; }

private:
    QString path_;
};

} // namespace ebbcast
