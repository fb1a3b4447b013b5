#pragma once

#include "EbbcastError.h"

namespace ebbcast {

// A file-system operation failed. The description names the operation, the path and the system's reason.
class FileError : public EbbcastError {
public:
    enum class Code { createDirectoryFailed, readFailed, writeFailed, removeFailed, lockFailed };

    FileError(Code code, const QString& path, const QString& reason);

    // Builds the error from the current errno.
    static FileError fromErrno(Code code, const QString& path);

    Code code() const noexcept { return code_; }
    const QString& path() const noexcept { return path_; }

private:
    Code code_;
    QString path_;
};

} // namespace ebbcast
