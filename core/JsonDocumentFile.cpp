#include "JsonDocumentFile.h"

#include "AtomicFile.h"
#include "DocumentEncoder.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

using namespace Qt::StringLiterals;

namespace ebbcast {

JsonDocumentFile::ReadResult JsonDocumentFile::read(const QString& path)
{
    ReadResult result;
    QFile file(path);
    if (!file.exists())
        return result;
    if (!file.open(QIODevice::ReadOnly)) {
        result.status = ReadResult::Status::unreadable;
        result.problem = file.errorString();
        return result;
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        result.status = ReadResult::Status::unreadable;
        result.problem = parseError.errorString() + u" at offset "_s + QString::number(parseError.offset);
        return result;
    }
    if (!document.isObject()) {
        result.status = ReadResult::Status::unreadable;
        result.problem = u"the top level is not a JSON object"_s;
        return result;
    }
    result.status = ReadResult::Status::ok;
    result.object = document.object();
    return result;
}

std::optional<QJsonObject> JsonDocumentFile::readObject(const QString& path)
{
    ReadResult result = read(path);
    if (result.status != ReadResult::Status::ok)
        return std::nullopt;
    return std::move(result.object);
}

void JsonDocumentFile::write(const QString& path, const QJsonObject& document,
                             std::optional<QFileDevice::Permissions> permissions)
{
    AtomicFile::write(path, DocumentEncoder::encode(document), permissions);
}

} // namespace ebbcast
