#include "gateway/UploadMetadata.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cmath>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

enum class Type { string, integer, number, date };

struct Member {
    QLatin1StringView key;
    Type type;
    bool required;
};

// Every member a chunk's metadata may carry, with its type.
constexpr Member members[] = {
    {"recorder_id"_L1, Type::string, true},
    {"recorder_name"_L1, Type::string, true},
    {"session_id"_L1, Type::string, true},
    {"recording_name"_L1, Type::string, true},
    {"thread_key"_L1, Type::string, true},
    {"chunk_index"_L1, Type::integer, true},
    {"chunk_kind"_L1, Type::string, true},
    {"session_start_time"_L1, Type::date, false},
    {"chunk_start_time"_L1, Type::date, true},
    {"chunk_end_time"_L1, Type::date, true},
    {"chunk_duration"_L1, Type::number, true},
    {"chunk_start_offset_seconds"_L1, Type::number, false},
    {"chunk_end_offset_seconds"_L1, Type::number, false},
    {"chunk_timecode_start"_L1, Type::string, false},
    {"chunk_timecode_end"_L1, Type::string, false},
    {"server_chunk_start_time"_L1, Type::date, false},
    {"server_chunk_end_time"_L1, Type::date, false},
    {"clock_offset_ms"_L1, Type::number, false},
    {"clock_round_trip_ms"_L1, Type::number, false},
    {"clock_sync_status"_L1, Type::string, false},
    {"local_file_name"_L1, Type::string, true},
    {"drive_file_id"_L1, Type::string, false},
    {"drive_url"_L1, Type::string, false},
    {"folder_url"_L1, Type::string, false},
};

bool isInteger(const QJsonValue& value)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    return std::isfinite(number) && std::trunc(number) == number && std::abs(number) <= 9007199254740992.0;
}

bool isDate(const QJsonValue& value)
{
    if (!value.isString())
        return false;
    const QString text = value.toString();
    // Internet date-time with a zone: "Z" or an offset; fractional seconds allowed.
    if (!(text.endsWith(u'Z') || text.contains(u'+') || text.lastIndexOf(u'-') > 10))
        return false;
    return QDateTime::fromString(text, Qt::ISODateWithMs).isValid();
}

bool hasType(const QJsonValue& value, Type type)
{
    switch (type) {
    case Type::string:
        return value.isString();
    case Type::integer:
        return isInteger(value);
    case Type::number:
        return value.isDouble() && std::isfinite(value.toDouble());
    case Type::date:
        return isDate(value);
    }
    return false;
}

QString typeName(Type type)
{
    switch (type) {
    case Type::string:
        return u"a string"_s;
    case Type::integer:
        return u"an integer"_s;
    case Type::number:
        return u"a number"_s;
    case Type::date:
        return u"an ISO 8601 date"_s;
    }
    return {};
}

} // namespace

std::variant<UploadMetadata, QString> UploadMetadata::decode(const QByteArray& json,
                                                             const QString& pathSessionID)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return u"metadata is not a JSON object"_s;
    const QJsonObject object = document.object();
    for (const Member& member : members) {
        const QJsonValue value = object.value(member.key);
        if (value.isUndefined()) {
            if (member.required)
                return u"metadata lacks %1"_s.arg(member.key);
            continue;
        }
        if (!hasType(value, member.type))
            return u"metadata %1 must be %2"_s.arg(member.key, typeName(member.type));
    }

    UploadMetadata metadata;
    metadata.sessionID = object.value("session_id"_L1).toString();
    metadata.chunkKind = object.value("chunk_kind"_L1).toString();
    metadata.chunkIndex = static_cast<qint64>(object.value("chunk_index"_L1).toDouble());
    metadata.localFileName = object.value("local_file_name"_L1).toString();
    metadata.chunkDuration = object.value("chunk_duration"_L1).toDouble();
    if (metadata.sessionID != pathSessionID)
        return u"metadata session_id differs from the session of the path"_s;
    if (metadata.chunkKind != "microphone"_L1 && metadata.chunkKind != "system_audio"_L1)
        return u"metadata chunk_kind must be microphone or system_audio"_s;
    if (metadata.chunkIndex < 0)
        return u"metadata chunk_index must not be negative"_s;
    return metadata;
}

} // namespace ebbcast
