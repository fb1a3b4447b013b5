#include "drive/UploadState.h"

#include "core/json/JsonObjectReader.h"
#include "core/json/JsonObjectWriter.h"

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

template <typename Self, typename Members>
void describeUploadedFile(Self& self, Members& members)
{
    members("drive_file_id"_L1, self.driveFileID);
    members("uploaded_at"_L1, self.uploadedAt);
}

template <typename Self, typename Members>
void describePending(Self& self, Members& members)
{
    members("size"_L1, self.size);
    members("modified_at"_L1, self.modifiedAt);
    members("started_at"_L1, self.startedAt);
    members("session_url"_L1, self.sessionURL);
}

// A missing or null member is an empty map; anything but an object of decodable values fails.
template <typename T>
bool decodeMap(const QJsonObject& object, QLatin1StringView key, std::map<QString, T>& out)
{
    out.clear();
    const QJsonValue json = object.value(key);
    if (json.isUndefined() || json.isNull())
        return true;
    if (!json.isObject())
        return false;
    const QJsonObject entries = json.toObject();
    for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
        T value{};
        if (!decodeJson(entry.value(), value))
            return false;
        out.emplace(entry.key(), std::move(value));
    }
    return true;
}

template <typename T>
QJsonObject encodeMap(const std::map<QString, T>& entries)
{
    QJsonObject object;
    for (const auto& [key, value] : entries)
        object.insert(key, encodeJson(value));
    return object;
}

QDateTime wholeSeconds(const QDateTime& date)
{
    return QDateTime::fromSecsSinceEpoch(date.toSecsSinceEpoch(), Qt::UTC);
}

} // namespace

QString rawValue(DriveSubfolderKey key)
{
    switch (key) {
    case DriveSubfolderKey::liveChunks:
        return u"live_chunks"_s;
    case DriveSubfolderKey::chunkTranscripts:
        return u"chunk_transcripts"_s;
    case DriveSubfolderKey::finalRecording:
        return u"final_recording"_s;
    case DriveSubfolderKey::finalTranscript:
        return u"final_transcript"_s;
    }
    return {};
}

QString driveFolderName(DriveSubfolderKey key)
{
    switch (key) {
    case DriveSubfolderKey::liveChunks:
        return u"01 Live Chunks"_s;
    case DriveSubfolderKey::chunkTranscripts:
        return u"02 Chunk Transcripts"_s;
    case DriveSubfolderKey::finalRecording:
        return u"03 Final Recording"_s;
    case DriveSubfolderKey::finalTranscript:
        return u"04 Final Transcript"_s;
    }
    return {};
}

std::optional<DriveSubfolderKey> driveSubfolderKeyFromRawValue(const QString& raw)
{
    for (const DriveSubfolderKey key : allDriveSubfolderKeys) {
        if (rawValue(key) == raw)
            return key;
    }
    return std::nullopt;
}

std::optional<UploadedFileState> UploadedFileState::fromJson(const QJsonValue& json)
{
    UploadedFileState value;
    JsonObjectReader reader(json);
    describeUploadedFile(value, reader);
    return reader.result(std::move(value));
}

QJsonObject UploadedFileState::toJson() const
{
    JsonObjectWriter writer;
    describeUploadedFile(*this, writer);
    return writer.object();
}

bool PendingUpload::matches(qint64 fileSize, const QDateTime& fileModifiedAt) const
{
    return size == fileSize && fileModifiedAt.isValid() && modifiedAt.isValid() &&
           wholeSeconds(fileModifiedAt) == wholeSeconds(modifiedAt);
}

std::optional<PendingUpload> PendingUpload::fromJson(const QJsonValue& json)
{
    PendingUpload value;
    JsonObjectReader reader(json);
    describePending(value, reader);
    return reader.result(std::move(value));
}

QJsonObject PendingUpload::toJson() const
{
    JsonObjectWriter writer;
    describePending(*this, writer);
    return writer.object();
}

std::optional<UploadState> UploadState::fromJson(const QJsonValue& json)
{
    UploadState state;
    JsonObjectReader reader(json);
    reader.optional("drive_folder_id"_L1, state.driveFolderID);
    reader.optional("drive_day_folder_id"_L1, state.driveDayFolderID);
    if (!reader.ok())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    if (!decodeMap(object, "drive_folders"_L1, state.driveFolders) ||
        !decodeMap(object, "uploaded_files"_L1, state.uploadedFiles) ||
        !decodeMap(object, "pending_uploads"_L1, state.pendingUploads))
        return std::nullopt;
    return state;
}

QJsonObject UploadState::toJson() const
{
    JsonObjectWriter writer;
    writer.set("drive_folder_id"_L1, driveFolderID);
    writer.set("drive_day_folder_id"_L1, driveDayFolderID);
    QJsonObject object = writer.object();
    object.insert("drive_folders"_L1, encodeMap(driveFolders));
    object.insert("uploaded_files"_L1, encodeMap(uploadedFiles));
    if (!pendingUploads.empty())
        object.insert("pending_uploads"_L1, encodeMap(pendingUploads));
    return object;
}

std::optional<QString> UploadState::driveFolder(DriveSubfolderKey key) const
{
    const auto found = driveFolders.find(rawValue(key));
    if (found == driveFolders.end())
        return std::nullopt;
    return found->second;
}

} // namespace ebbcast
