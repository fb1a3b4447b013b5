#include "core/documents/WrapUpMetadata.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// Every member with its key, in declaration order: the one list that reading and writing share.
template <typename Self, typename Members>
void describe(Self& self, Members& members)
{
    members("start_time"_L1, self.startTime);
    members("end_time"_L1, self.endTime);
    members("duration"_L1, self.duration);
    members("file_path"_L1, self.filePath);
    members("note"_L1, self.note);
}

} // namespace

const QString WrapUpMetadata::noteText = u"Manual wrap-up camera and microphone note."_s;

WrapUpMetadata WrapUpMetadata::forMovie(const QString& moviePath, const QDateTime& start,
                                        const QDateTime& end)
{
    WrapUpMetadata metadata;
    metadata.startTime = start;
    metadata.endTime = end;
    metadata.duration = static_cast<double>(start.msecsTo(end)) / 1000.0;
    metadata.filePath = QFileInfo(moviePath).absoluteFilePath();
    metadata.note = noteText;
    return metadata;
}

QString WrapUpMetadata::pathFor(const QString& moviePath)
{
    const QFileInfo movie(moviePath);
    return movie.absolutePath() + u'/' + movie.completeBaseName() + u"_metadata.json"_s;
}

std::optional<WrapUpMetadata> WrapUpMetadata::fromJson(const QJsonValue& json)
{
    WrapUpMetadata value;
    JsonObjectReader reader(json);
    describe(value, reader);
    return reader.result(std::move(value));
}

QJsonObject WrapUpMetadata::toJson() const
{
    JsonObjectWriter writer;
    describe(*this, writer);
    return writer.object();
}

} // namespace ebbcast
