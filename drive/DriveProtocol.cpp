#include "drive/DriveProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QUrl>

#include <limits>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

constexpr qsizetype errorMessageCharacters = 200;

// A non-empty run of decimal digits as a non-negative number, nothing on overflow.
std::optional<qint64> decimal(QByteArrayView digits)
{
    if (digits.isEmpty() || digits.size() > 19)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (value > (std::numeric_limits<qint64>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// Control and line-separator characters become spaces, the text stops after `limit` characters.
QString oneLine(const QString& text, qsizetype limit)
{
    QString result;
    qsizetype characters = 0;
    for (qsizetype i = 0; i < text.size() && characters < limit; ++characters) {
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        const char32_t code =
            pair ? QChar::surrogateToUcs4(text.at(i), text.at(i + 1)) : text.at(i).unicode();
        const QChar::Category category = QChar::category(code);
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            result += u' ';
        else
            result += QStringView(text).mid(i, pair ? 2 : 1);
        i += pair ? 2 : 1;
    }
    return result.trimmed();
}

} // namespace

std::optional<qint64> parseUploadedRange(QByteArrayView header, qint64 total)
{
    constexpr QByteArrayView prefix = "bytes=0-";
    if (!header.startsWith(prefix))
        return std::nullopt;
    const std::optional<qint64> last = decimal(header.sliced(prefix.size()));
    if (!last || *last >= total)
        return std::nullopt;
    return *last + 1;
}

std::optional<qint64> parseRetryAfterSeconds(QByteArrayView header)
{
    return decimal(header.trimmed());
}

QString driveQueryLiteral(const QString& value)
{
    QString escaped = value;
    escaped.replace(u"\\"_s, u"\\\\"_s).replace(u"'"_s, u"\\'"_s);
    return u"'"_s + escaped + u"'"_s;
}

QString encodeQueryItems(const QList<std::pair<QString, QString>>& items)
{
    QString query;
    for (const auto& [key, value] : items) {
        if (!query.isEmpty())
            query += u'&';
        query += QString::fromLatin1(QUrl::toPercentEncoding(key)) + u'=' +
                 QString::fromLatin1(QUrl::toPercentEncoding(value));
    }
    return query;
}

QString driveErrorMessage(const QByteArray& body, int status, const QStringList& secrets)
{
    QString text;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonValue message = document.object().value(u"error"_s).toObject().value(u"message"_s);
    if (message.isString() && !message.toString().trimmed().isEmpty()) {
        text = message.toString();
    } else {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        text = decoder.decode(body);
        if (decoder.hasError())
            return u"unknown error"_s;
    }
    for (const QString& secret : secrets) {
        if (!secret.isEmpty())
            text.replace(secret, u"[redacted]"_s);
    }
    text = oneLine(text, errorMessageCharacters);
    return text.isEmpty() ? u"HTTP %1"_s.arg(status) : text;
}

} // namespace ebbcast
