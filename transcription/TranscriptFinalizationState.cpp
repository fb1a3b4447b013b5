#include "transcription/TranscriptFinalizationState.h"

#include "core/base/Logger.h"
#include "core/json/JsonDocumentFile.h"
#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

#include <QDir>
#include <QFile>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

template <typename Self, typename Members>
void describeState(Self& self, Members& members)
{
    members("status"_L1, self.status);
    members("source_chunk_count"_L1, self.sourceChunkCount);
    members("finalized_at"_L1, self.finalizedAt);
    members("notification_sent_at"_L1, self.notificationSentAt);
}

bool bytesReadable(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly);
}

} // namespace

std::optional<TranscriptFinalizationState> TranscriptFinalizationState::fromJson(const QJsonValue& json)
{
    TranscriptFinalizationState state;
    JsonObjectReader reader(json);
    describeState(state, reader);
    return reader.result(std::move(state));
}

QJsonObject TranscriptFinalizationState::toJson() const
{
    JsonObjectWriter writer;
    describeState(*this, writer);
    return writer.object();
}

TranscriptFinalizationStateFile::TranscriptFinalizationStateFile(QString sessionFolder, Logger& logger,
                                                                 WallClock clock)
    : sessionFolder_(std::move(sessionFolder))
    , logger_(logger)
    , clock_(clock ? std::move(clock) : WallClock(systemTime))
{}

QString TranscriptFinalizationStateFile::path() const
{
    return QDir(sessionFolder_).filePath(fileName);
}

std::optional<TranscriptFinalizationState> TranscriptFinalizationStateFile::read() const
{
    const auto object = JsonDocumentFile::readObject(path());
    if (!object)
        return std::nullopt;
    return TranscriptFinalizationState::fromJson(*object);
}

TranscriptFinalizationState TranscriptFinalizationStateFile::loadForUpdate() const
{
    const QString original = path();
    const auto result = JsonDocumentFile::read(original);
    using Status = JsonDocumentFile::ReadResult::Status;
    if (result.status == Status::missing)
        return {};
    if (result.status == Status::ok) {
        if (auto state = TranscriptFinalizationState::fromJson(result.object))
            return std::move(*state);
    } else if (!bytesReadable(original)) {
        throw TranscriptStateReadError(u"Could not read the transcript state \""_s + original + u"\": "_s +
                                       result.problem);
    }
    const QString problem = result.status == Status::ok ? u"members of the wrong kind"_s : result.problem;
    const auto kept = JsonDocumentFile::keepAside(original, clock_());
    if (!kept.failure.isEmpty()) {
        throw TranscriptStateReadError(u"Unreadable transcript state \""_s + original + u"\" ("_s + problem +
                                       u") could not be kept aside: "_s + kept.failure);
    }
    logger_.error(u"Unreadable transcript state \""_s + original + u"\" ("_s + problem + u") kept as \""_s +
                  kept.path + u"\""_s);
    return {};
}

void TranscriptFinalizationStateFile::save(const TranscriptFinalizationState& state) const
{
    JsonDocumentFile::write(path(), state.toJson());
}

} // namespace ebbcast
