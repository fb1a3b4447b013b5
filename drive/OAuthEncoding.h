#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace ebbcast {

using FormFields = QList<std::pair<QString, QString>>;

// The text forms of an OAuth exchange.
namespace OAuthEncoding {

// Every byte of the UTF-8 form except the unreserved characters (letters, digits, "-._~") as %XX, so that
// "+", "&", "=", "/" and "%" in a code or token reach the server as themselves.
QByteArray percentEncode(const QString& text);
// "key=value&key=value" in the given order; fields with an empty value are left out.
QByteArray formBody(const FormFields& fields);
// A query or form body: "&"-separated pairs, "+" as a space, %XX escapes (anything else after "%" is an
// error), UTF-8. An item without "=" has an empty value. Nothing when it cannot be read.
std::optional<FormFields> decodeForm(QByteArrayView text);
// The value of the only field named `key`; nothing when it is absent, and an error (no value, but
// `ambiguous` set) when it appears more than once.
std::optional<QString> single(const FormFields& fields, const QString& key, bool& ambiguous);

// Text for an HTML page: & < > " ' as entities.
QString htmlEscape(const QString& text);

// PKCE: a verifier of 32 bytes from the system's cryptographic generator in base64url without padding
// (43 characters), and its S256 challenge, base64url(SHA-256(verifier)) without padding.
QString newCodeVerifier();
QString codeChallenge(const QString& verifier);
// A state value: 16 random bytes from the same generator as an upper-case UUID text (36 characters).
QString newState();

} // namespace OAuthEncoding
} // namespace ebbcast
