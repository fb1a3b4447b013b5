#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace ebbcast {

// The gateway's reply to a chunk upload: the job it created for the chunk.
struct GlossenUploadResponse {
    QString gatewayJobID;                // "gateway_job_id": never empty, "." or ".."
    QString ebbcastChunkID;              // "ebbcast_chunk_id"
    QString statusURL;                   // "status_url"
    std::optional<QString> collectionID; // "collection_id"

    // Throws GlossenReplyError.
    static GlossenUploadResponse decode(const QByteArray& body);

    bool operator==(const GlossenUploadResponse&) const = default;
};

} // namespace ebbcast
