#pragma once

#include "transcription/GlossenArtifact.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace ebbcast {

// The gateway's reply to an artifact listing.
struct GlossenArtifactsResponse {
    std::optional<QString> gatewayJobID;    // "gateway_job_id": never empty, "." or ".." when present
    std::vector<GlossenArtifact> artifacts; // "artifacts"

    // Throws GlossenReplyError.
    static GlossenArtifactsResponse decode(const QByteArray& body);

    bool operator==(const GlossenArtifactsResponse&) const = default;
};

} // namespace ebbcast
