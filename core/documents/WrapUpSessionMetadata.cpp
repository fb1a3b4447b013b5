#include "core/documents/WrapUpSessionMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("status"_L1, self.status);
    members("file_path"_L1, self.filePath);
    members("metadata_path"_L1, self.metadataPath);
    members("note"_L1, self.note);
}

} // namespace

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
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject WrapUpSessionMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
