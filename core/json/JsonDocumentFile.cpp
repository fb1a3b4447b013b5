#include "core/json/JsonDocumentFile.h"

#include "core/base/AtomicFile.h"
#include "core/base/BoundedFileRead.h"
#include "core/json/DocumentEncoder.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QUuid>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using Status = JsonDocumentFile::ReadResult::Status;

// More illegal numbers than this and the document is not worth saving.
constexpr int maximumIllegalNumbers = 64;

bool isNumberCharacter(char c)
{
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// Replaces `marker` strings with null; `found` tells whether there was one.
QJsonValue withMarkersAsNull(const QJsonValue& value, const QString& marker, bool& found)
{
    if (value.isString() && value.toString() == marker) {
        found = true;
        return QJsonValue(QJsonValue::Null);
    }
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue& element : value.toArray())
            array.append(withMarkersAsNull(element, marker, found));
        return array;
    }
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto member = object.begin(); member != object.end(); ++member)
            member.value() = withMarkersAsNull(member.value(), marker, found);
        return object;
    }
    return value;
}

// Parses the document. With readAsNull, every number token Qt refuses is replaced by a unique marker string
// and the parse repeated; the markers then become null and name the members that held them.
// Qt reports an illegal number with the offset just past its last character (checked with Qt 6.4).
Status parse(QByteArray bytes, JsonDocumentFile::IllegalNumbers illegalNumbers,
             JsonDocumentFile::ReadResult& result)
{
    const bool salvage = illegalNumbers == JsonDocumentFile::IllegalNumbers::readAsNull;
    const QByteArray id = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    const QString marker = u"\u0001illegal number "_s + QString::fromLatin1(id);
    const QByteArray markerToken = "\"\\u0001illegal number " + id + '"';
    qsizetype shift = 0; // how much longer the bytes are than the file, for the offset of a later error
    int replaced = 0;
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    while (salvage && error.error == QJsonParseError::IllegalNumber) {
        const qsizetype end = error.offset;
        if (end <= 0 || end > bytes.size())
            break;
        qsizetype start = end;
        while (start > 0 && isNumberCharacter(bytes.at(start - 1)))
            --start;
        if (start == end)
            break;
        if (replaced == maximumIllegalNumbers) {
            result.problem = u"more than "_s + QString::number(maximumIllegalNumbers) +
                             u" numbers that are out of range"_s;
            return Status::unreadable;
        }
        bytes.replace(start, end - start, markerToken);
        shift += markerToken.size() - (end - start);
        ++replaced;
        document = QJsonDocument::fromJson(bytes, &error);
    }
    if (error.error != QJsonParseError::NoError) {
        result.problem = error.errorString() + u" at offset "_s + QString::number(error.offset - shift);
        return Status::unreadable;
    }
    if (!document.isObject()) {
        result.problem = u"the top level is not a JSON object"_s;
        return Status::unreadable;
    }
    result.object = document.object();
    if (replaced > 0) {
        for (auto member = result.object.begin(); member != result.object.end(); ++member) {
            bool found = false;
            member.value() = withMarkersAsNull(member.value(), marker, found);
            if (found)
                result.membersWithIllegalNumbers.append(member.key());
        }
    }
    return Status::ok;
}

} // namespace

JsonDocumentFile::ReadResult JsonDocumentFile::read(const QString& path, IllegalNumbers illegalNumbers)
{
    ReadResult result;
    BoundedFileRead file = BoundedFileRead::read(path, maximumSize);
    result.problem = std::move(file.problem);
    switch (file.status) {
    case BoundedFileRead::Status::missing:
        result.status = Status::missing;
        break;
    case BoundedFileRead::Status::unreadable:
        result.status = Status::unreadable;
        break;
    case BoundedFileRead::Status::ok:
        result.status = parse(std::move(file.bytes), illegalNumbers, result);
        break;
    }
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

JsonDocumentFile::KeptAside JsonDocumentFile::keepAside(const QString& path, const QDateTime& now)
{
    const auto exists = [](const QString& candidate) {
        struct stat status {};
        return ::lstat(QFile::encodeName(candidate).constData(), &status) == 0;
    };
    const QString stamp = now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString backup = path + QStringLiteral(".corrupt-") + stamp;
    for (int n = 1; exists(backup); ++n)
        backup = path + QStringLiteral(".corrupt-") + stamp + u'-' + QString::number(n);
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(backup).constData()) != 0)
        return {{}, QString::fromLocal8Bit(std::strerror(errno))};
    return {backup, {}};
}

JsonDocumentFile::StateRead JsonDocumentFile::readState(const QString& path, const QString& what,
                                                        const std::function<bool(const QJsonObject&)>& decode,
                                                        const QDateTime& now)
{
    using Outcome = StateRead::Outcome;
    const ReadResult result = read(path);
    if (result.status == ReadResult::Status::missing)
        return {Outcome::missing, {}};
    if (result.status == ReadResult::Status::ok && decode(result.object))
        return {Outcome::decoded, {}};
    if (result.status == ReadResult::Status::unreadable) {
        QFile bytes(path);
        if (!bytes.open(QIODevice::ReadOnly)) {
            return {Outcome::unreadable, QStringLiteral("Could not read the ") + what +
                                             QStringLiteral(" \"") + path + QStringLiteral("\": ") +
                                             result.problem};
        }
    }
    const QString problem = result.status == ReadResult::Status::ok
                                ? QStringLiteral("members of the wrong kind")
                                : result.problem;
    const QString described = QStringLiteral("Unreadable ") + what + QStringLiteral(" \"") + path +
                              QStringLiteral("\" (") + problem + u')';
    const KeptAside kept = keepAside(path, now);
    if (!kept.failure.isEmpty())
        return {Outcome::unreadable, described + QStringLiteral(" could not be kept aside: ") + kept.failure};
    return {Outcome::keptAside, described + QStringLiteral(" kept as \"") + kept.path + u'"'};
}

} // namespace ebbcast
