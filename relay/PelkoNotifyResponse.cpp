#include "relay/PelkoNotifyResponse.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

std::optional<QString> identifierMember(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString() || !PelkoNotifyResponse::isValidThreadIdentifier(value.toString()))
        return std::nullopt;
    return value.toString();
}

void appendHex(QString& out, unsigned char byte)
{
    out += u"\\x"_s + QString::number(byte, 16).rightJustified(2, u'0');
}

// The length of the UTF-8 sequence starting at `at`, or 0 when it is not valid there.
qsizetype sequenceLength(const QByteArray& bytes, qsizetype at)
{
    const auto lead = static_cast<unsigned char>(bytes[at]);
    qsizetype length = 0;
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef)
        length = 3;
    else if (lead >= 0xf0 && lead <= 0xf4)
        length = 4;
    else
        return 0;
    if (at + length > bytes.size())
        return 0;
    const QString decoded = QString::fromUtf8(bytes.mid(at, length));
    if (decoded.contains(QChar::ReplacementCharacter))
        return 0;
    return length;
}

} // namespace

PelkoNotifyResponse PelkoNotifyResponse::decode(const QByteArray& body)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return {};
    const QJsonObject object = document.object();
    return PelkoNotifyResponse{
        .ts = identifierMember(object, u"ts"_s),
        .threadTS = identifierMember(object, u"thread_ts"_s),
        .parentThreadTS = identifierMember(object, u"parent_thread_ts"_s),
    };
}

std::optional<QString> PelkoNotifyResponse::threadIdentifier() const
{
    if (threadTS)
        return threadTS;
    if (parentThreadTS)
        return parentThreadTS;
    return ts;
}

bool PelkoNotifyResponse::isValidThreadIdentifier(const QString& text)
{
    if (text.isEmpty() || text.size() > 128)
        return false;
    for (const QChar c : text) {
        if (c.unicode() <= 0x20 || c.unicode() >= 0x7f)
            return false;
    }
    return true;
}

QString escapedExcerpt(const QByteArray& body, const QString& secret, qsizetype limit)
{
    const QByteArray secretBytes = secret.toUtf8();
    QByteArray whole = body;
    if (!secretBytes.isEmpty())
        whole.replace(secretBytes, "***");
    QByteArray bytes = whole.left(limit);
    const bool cut = whole.size() > limit;
    if (cut && !secretBytes.isEmpty()) {
        // A secret cut at the limit must not show in part either.
        for (qsizetype prefix = std::min(secretBytes.size() - 1, bytes.size()); prefix >= 1; --prefix) {
            if (bytes.endsWith(secretBytes.left(prefix))) {
                bytes.chop(prefix);
                bytes += "***";
                break;
            }
        }
    }
    QString out;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7f || byte == '\\')
                appendHex(out, byte);
            else
                out += QLatin1Char(static_cast<char>(byte));
            ++at;
            continue;
        }
        const qsizetype length = sequenceLength(bytes, at);
        if (length == 0) {
            appendHex(out, byte);
            ++at;
            continue;
        }
        out += QString::fromUtf8(bytes.mid(at, length));
        at += length;
    }
    if (cut)
        out += u"..."_s;
    return out;
}

} // namespace ebbcast
