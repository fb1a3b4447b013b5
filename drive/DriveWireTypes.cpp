#include "drive/DriveWireTypes.h"

#include "drive/GoogleDriveError.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QJsonObject replyObject(const QByteArray& body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        throw GoogleDriveError::requestFailed(u"Google Drive sent a reply that is not a JSON object"_s);
    return document.object();
}

[[noreturn]] void unusable(const QString& member)
{
    throw GoogleDriveError::requestFailed(u"Google Drive's reply has no usable \""_s + member + u"\""_s);
}

QString requiredString(const QJsonObject& object, const QString& key, const QString& path)
{
    const QJsonValue value = object.value(key);
    if (!value.isString() || value.toString().isEmpty())
        unusable(path);
    return value.toString();
}

std::optional<QString> optionalString(const QJsonObject& object, const QString& key, const QString& path)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    if (!value.isString())
        unusable(path);
    return value.toString();
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QByteArray DriveCreateFolderRequest::toJson() const
{
    return compact(QJsonObject{{u"name"_s, name},
                               {u"mimeType"_s, QString::fromLatin1(driveFolderMimeType)},
                               {u"parents"_s, QJsonArray{parentID}}});
}

QByteArray DriveUploadMetadata::toJson() const
{
    return compact(QJsonObject{{u"name"_s, name}, {u"parents"_s, QJsonArray{parentID}}});
}

DriveFileResponse DriveFileResponse::decode(const QByteArray& body)
{
    return {requiredString(replyObject(body), u"id"_s, u"id"_s)};
}

DriveFileListResponse DriveFileListResponse::decode(const QByteArray& body)
{
    const QJsonValue files = replyObject(body).value(u"files"_s);
    if (!files.isArray())
        unusable(u"files"_s);
    DriveFileListResponse result;
    for (qsizetype i = 0; i < files.toArray().size(); ++i) {
        const QString path = u"files[%1]"_s.arg(i);
        const QJsonValue entry = files.toArray().at(i);
        if (!entry.isObject())
            unusable(path);
        const QJsonObject object = entry.toObject();
        DriveFileEntry file;
        file.id = requiredString(object, u"id"_s, path + u".id"_s);
        if (const std::optional<QString> size = optionalString(object, u"size"_s, path + u".size"_s)) {
            bool ok = false;
            const qint64 value = size->toLongLong(&ok, 10);
            if (!ok || value < 0 || size->startsWith(u'+'))
                unusable(path + u".size"_s);
            file.size = value;
        }
        file.md5Checksum = optionalString(object, u"md5Checksum"_s, path + u".md5Checksum"_s);
        result.files.push_back(std::move(file));
    }
    return result;
}

DriveFileMetadata DriveFileMetadata::decode(const QByteArray& body)
{
    const QJsonObject object = replyObject(body);
    DriveFileMetadata result;
    result.id = requiredString(object, u"id"_s, u"id"_s);
    result.name = optionalString(object, u"name"_s, u"name"_s);
    result.mimeType = optionalString(object, u"mimeType"_s, u"mimeType"_s);
    result.thumbnailLink = optionalString(object, u"thumbnailLink"_s, u"thumbnailLink"_s);
    const QJsonValue video = object.value(u"videoMediaMetadata"_s);
    if (!video.isUndefined() && !video.isNull() && !video.isObject())
        unusable(u"videoMediaMetadata"_s);
    result.hasVideoMediaMetadata = video.isObject();
    return result;
}

DriveAccountInfo DriveAccountInfo::decode(const QByteArray& body)
{
    const QJsonValue user = replyObject(body).value(u"user"_s);
    if (!user.isObject())
        unusable(u"user"_s);
    DriveAccountInfo result;
    result.displayName =
        optionalString(user.toObject(), u"displayName"_s, u"user.displayName"_s).value_or(QString());
    result.emailAddress =
        optionalString(user.toObject(), u"emailAddress"_s, u"user.emailAddress"_s).value_or(QString());
    return result;
}

QString driveMimeType(const QString& fileName)
{
    const QString extension = QFileInfo(fileName).suffix().toLower();
    if (extension == u"mov"_s)
        return u"video/quicktime"_s;
    if (extension == u"m4a"_s)
        return u"audio/mp4"_s;
    if (extension == u"wav"_s)
        return u"audio/wav"_s;
    if (extension == u"txt"_s)
        return u"text/plain"_s;
    if (extension == u"md"_s)
        return u"text/markdown"_s;
    if (extension == u"json"_s)
        return u"application/json"_s;
    return u"application/octet-stream"_s;
}

} // namespace ebbcast
