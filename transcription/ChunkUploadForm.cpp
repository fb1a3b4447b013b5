#include "transcription/ChunkUploadForm.h"

#include <QFileInfo>
#include <QUuid>

using namespace Qt::StringLiterals;

namespace ebbcast {

QByteArray ChunkUploadForm::newBoundary()
{
    return "Boundary-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
}

QByteArray ChunkUploadForm::contentType(const QByteArray& boundary)
{
    return "multipart/form-data; boundary=" + boundary;
}

QByteArray ChunkUploadForm::preamble(const QByteArray& boundary, const QByteArray& metadataJson,
                                     const QString& fileName)
{
    QByteArray text;
    text += "--" + boundary + "\r\n";
    text += "Content-Disposition: form-data; name=\"metadata\"\r\n";
    text += "Content-Type: application/json\r\n\r\n";
    text += metadataJson;
    text += "\r\n";
    text += "--" + boundary + "\r\n";
    text += "Content-Disposition: form-data; name=\"file\"; filename=\"" + quotedFileNameText(fileName) +
            "\"\r\n";
    text += "Content-Type: " + mediaType(fileName) + "\r\n\r\n";
    return text;
}

QByteArray ChunkUploadForm::epilogue(const QByteArray& boundary)
{
    return "\r\n--" + boundary + "--\r\n";
}

QByteArray ChunkUploadForm::mediaType(const QString& fileName)
{
    const QString extension = QFileInfo(fileName).suffix().toLower();
    if (extension == u"wav"_s)
        return "audio/wav";
    if (extension == u"m4a"_s)
        return "audio/mp4";
    return "application/octet-stream";
}

QByteArray ChunkUploadForm::quotedFileNameText(const QString& fileName)
{
    QByteArray text;
    for (const char c : fileName.toUtf8()) {
        switch (c) {
        case '"':
            text += "%22";
            break;
        case '\\':
            text += "%5C";
            break;
        case '\r':
            text += "%0D";
            break;
        case '\n':
            text += "%0A";
            break;
        default:
            text += c;
        }
    }
    return text;
}

} // namespace ebbcast
