#include "drive/OAuthEncoding.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QUuid>

#include <array>

using namespace Qt::StringLiterals;

namespace ebbcast::OAuthEncoding {
namespace {

bool unreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<QString> decodeComponent(QByteArrayView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            bytes += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            bytes += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            bytes += c;
        }
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

QString base64url(const QByteArray& bytes)
{
    return QString::fromLatin1(
        bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray systemRandomBytes(qsizetype count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    QRandomGenerator* generator = QRandomGenerator::system();
    for (qsizetype i = 0; i < count; i += 4) {
        const quint32 word = generator->generate();
        for (qsizetype j = 0; j < 4 && i + j < count; ++j)
            bytes[i + j] = static_cast<char>((word >> (8 * j)) & 0xFF);
    }
    return bytes;
}

} // namespace

QByteArray percentEncode(const QString& text)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    const QByteArray bytes = text.toUtf8();
    QByteArray encoded;
    encoded.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        if (unreserved(c)) {
            encoded += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            encoded += '%';
            encoded += digits[byte >> 4];
            encoded += digits[byte & 0x0F];
        }
    }
    return encoded;
}

QByteArray formBody(const FormFields& fields)
{
    QByteArray body;
    for (const auto& [key, value] : fields) {
        if (value.isEmpty())
            continue;
        if (!body.isEmpty())
            body += '&';
        body += percentEncode(key) + '=' + percentEncode(value);
    }
    return body;
}

std::optional<FormFields> decodeForm(QByteArrayView text)
{
    FormFields fields;
    if (text.isEmpty())
        return fields;
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = text.indexOf('&', start);
        if (end < 0)
            end = text.size();
        const QByteArrayView item = text.sliced(start, end - start);
        if (!item.isEmpty()) {
            const qsizetype equals = item.indexOf('=');
            const auto key = decodeComponent(equals < 0 ? item : item.first(equals));
            const auto value = decodeComponent(equals < 0 ? QByteArrayView() : item.sliced(equals + 1));
            if (!key || !value)
                return std::nullopt;
            fields.append({*key, *value});
        }
        start = end + 1;
    }
    return fields;
}

std::optional<QString> single(const FormFields& fields, const QString& key, bool& ambiguous)
{
    std::optional<QString> found;
    ambiguous = false;
    for (const auto& [name, value] : fields) {
        if (name != key)
            continue;
        if (found) {
            ambiguous = true;
            return std::nullopt;
        }
        found = value;
    }
    return found;
}

QString htmlEscape(const QString& text)
{
    return text.toHtmlEscaped().replace(u'\'', u"&#39;"_s);
}

QString newCodeVerifier()
{
    return base64url(systemRandomBytes(32));
}

QString codeChallenge(const QString& verifier)
{
    return base64url(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256));
}

QString newState()
{
    QByteArray bytes = systemRandomBytes(16);
    bytes[6] = static_cast<char>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<char>((bytes[8] & 0x3F) | 0x80); // variant 1
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces).toUpper();
}

} // namespace ebbcast::OAuthEncoding
