#pragma once

#include <QByteArray>
#include <QString>

namespace ebbcast {

// The multipart/form-data framing of a chunk upload: a "metadata" part (JSON, no filename) and a "file" part
// (the chunk's bytes, its name and media type). The body is preamble + file bytes + epilogue.
class ChunkUploadForm {
public:
    // "Boundary-" and a fresh random UUID in upper case; a new one for every upload.
    static QByteArray newBoundary();
    static QByteArray contentType(const QByteArray& boundary);

    // Everything before the file's bytes.
    static QByteArray preamble(const QByteArray& boundary, const QByteArray& metadataJson,
                               const QString& fileName);
    // Everything after them: the closing delimiter.
    static QByteArray epilogue(const QByteArray& boundary);

    // By the name's extension, in any case: wav gives audio/wav, m4a audio/mp4, anything else
    // application/octet-stream.
    static QByteArray mediaType(const QString& fileName);
    // The name as UTF-8 with '"', '\', CR and LF percent-encoded, so it cannot end the quoted value or the
    // header line.
    static QByteArray quotedFileNameText(const QString& fileName);
};

} // namespace ebbcast
