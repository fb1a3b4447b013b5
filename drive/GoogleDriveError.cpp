#include "drive/GoogleDriveError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

GoogleDriveError::GoogleDriveError(Code code, QString description, QString message, int httpStatus)
    : CodedError(code, std::move(description))
    , message_(std::move(message))
    , httpStatus_(httpStatus)
{}

GoogleDriveError GoogleDriveError::requestFailed(const QString& message, int httpStatus)
{
    return GoogleDriveError(Code::requestFailed, u"Google Drive request failed: "_s + message, message,
                            httpStatus);
}

GoogleDriveError GoogleDriveError::invalidFolderURL()
{
    return GoogleDriveError(Code::invalidFolderURL, u"Google Drive folder URL is invalid."_s, {}, 0);
}

GoogleDriveError GoogleDriveError::fileChanged(const QString& fileName)
{
    return GoogleDriveError(Code::fileChanged, fileName + u" changed while uploading to Google Drive."_s, {},
                            0);
}

} // namespace ebbcast
