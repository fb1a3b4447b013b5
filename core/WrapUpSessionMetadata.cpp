#include "WrapUpSessionMetadata.h"

#include "JsonObjectReader.h"
#include "JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

WrapUpSessionMetadata WrapUpSessionMetadata::pending()
{
    return {u"pending"_s, std::nullopt, std::nullopt,
            u"Wrap-up note requested for this recording session."_s};
}

WrapUpSessionMetadata WrapUpSessionMetadata::complete(const QString& wrapUpFilePath,
                                                      const QString& wrapUpMetadataPath)
{
    return {u"complete"_s, wrapUpFilePath, wrapUpMetadataPath,
            u"Wrap-up note is attached to this recording session."_s};
}

WrapUpSessionMetadata WrapUpSessionMetadata::failed(const QString& reason)
{
    return {u"failed"_s, std::nullopt, std::nullopt, reason};
}

std::optional<WrapUpSessionMetadata> WrapUpSessionMetadata::fromJson(const QJsonValue& json)
{
    WrapUpSessionMetadata value;
    JsonObjectReader reader(json);
    reader.required("status"_L1, value.status)
        .optional("file_path"_L1, value.filePath)
        .optional("metadata_path"_L1, value.metadataPath)
        .required("note"_L1, value.note);
    return reader.result(std::move(value));
}

QJsonObject WrapUpSessionMetadata::toJson() const
{
    return JsonObjectWriter()
        .set("status"_L1, status)
        .set("file_path"_L1, filePath)
        .set("metadata_path"_L1, metadataPath)
        .set("note"_L1, note)
        .object();
}

} // namespace ebbcast
