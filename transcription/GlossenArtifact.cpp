#include "transcription/GlossenArtifact.h"

#include "transcription/GlossenReplyReader.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

GlossenArtifact GlossenArtifact::fromJson(const QJsonValue& json, const QString& path)
{
    const GlossenReplyReader reader(json, path);
    GlossenArtifact value;
    value.id = reader.requiredInteger("id"_L1);
    value.artifactType = reader.optionalString("artifact_type"_L1);
    value.checksum = reader.optionalString("checksum"_L1);
    value.sizeBytes = reader.optionalInteger("size_bytes"_L1);
    return value;
}

} // namespace ebbcast
