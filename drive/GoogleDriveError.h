#pragma once

#include "core/base/CodedError.h"

namespace ebbcast {

// A Drive request that did not give the expected answer, or an upload that could not go on.
enum class GoogleDriveErrorCode {
    requestFailed,    // Drive refused or broke off the request, or answered something unusable
    invalidFolderURL, // a Drive folder address that names no folder
    fileChanged,      // the local file changed size while it was being uploaded
};

class GoogleDriveError : public CodedError<GoogleDriveErrorCode> {
public:
    // "Google Drive request failed: " + message. `httpStatus` is the reply's status, 0 when there was none.
    static GoogleDriveError requestFailed(const QString& message, int httpStatus = 0);
    // "Google Drive folder URL is invalid."
    static GoogleDriveError invalidFolderURL();
    // "<file name> changed while uploading to Google Drive."
    static GoogleDriveError fileChanged(const QString& fileName);

    const QString& message() const noexcept { return message_; }
    int httpStatus() const noexcept { return httpStatus_; }

private:
    GoogleDriveError(Code code, QString description, QString message, int httpStatus);

    QString message_;
    int httpStatus_ = 0;
};

} // namespace ebbcast
