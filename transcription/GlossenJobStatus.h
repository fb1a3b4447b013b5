#pragma once

#include "transcription/GlossenGatewayJob.h"

#include <QByteArray>

namespace ebbcast {

// The gateway's reply to a job query.
struct GlossenJobStatus {
    GlossenGatewayJob job; // "job"

    // Throws GlossenReplyError.
    static GlossenJobStatus decode(const QByteArray& body);

    bool operator==(const GlossenJobStatus&) const = default;
};

} // namespace ebbcast
