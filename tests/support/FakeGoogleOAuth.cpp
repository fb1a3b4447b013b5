#include "support/FakeGoogleOAuth.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringDecoder>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

const QSet<QString> consentParameters{u"client_id"_s, u"redirect_uri"_s,   u"response_type"_s,
                                      u"scope"_s,     u"access_type"_s,    u"prompt"_s,
                                      u"state"_s,     u"code_challenge"_s, u"code_challenge_method"_s};

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

std::optional<QString> decodeComponent(const QByteArray& text)
{
    QByteArray bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            bytes += ' ';
        } else if (text[i] == '%') {
            if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0)
                return std::nullopt;
            bytes += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

// Every byte but the unreserved ones escaped, as a careful client does.
QByteArray encodeComponent(const QString& text)
{
    return text.toUtf8().toPercentEncoding();
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

const QString FakeGoogleOAuth::canary = u"CANARY7q"_s;
const QString FakeGoogleOAuth::driveFileScope = u"https://www.googleapis.com/auth/drive.file"_s;

std::optional<QHash<QString, QString>> parseStrictForm(const QByteArray& text)
{
    QHash<QString, QString> fields;
    if (text.isEmpty())
        return fields;
    for (const QByteArray& item : text.split('&')) {
        const qsizetype equals = item.indexOf('=');
        if (equals <= 0)
            return std::nullopt;
        const auto name = decodeComponent(item.first(equals));
        const auto value = decodeComponent(item.sliced(equals + 1));
        if (!name || !value || fields.contains(*name))
            return std::nullopt;
        fields.insert(*name, *value);
    }
    return fields;
}

FakeGoogleOAuth::FakeGoogleOAuth(FakeHttpServer& server, Config config)
    : server_(server)
    , config_(std::move(config))
{}

QUrl FakeGoogleOAuth::authorizationURL() const
{
    return server_.url(u"/o/oauth2/v2/auth"_s);
}

QUrl FakeGoogleOAuth::tokenURL() const
{
    return server_.url(u"/token"_s);
}

void FakeGoogleOAuth::revokeRefreshTokens()
{
    revoked_.unite(refreshTokens_);
}

QString FakeGoogleOAuth::mint(const QString& kind)
{
    ++serial_;
    return u"%1+/%2=&%3/%4"_s.arg(kind, canary).arg(serial_).arg(QString::number(serial_ * 7919, 36));
}

FakeGoogleOAuth::Response FakeGoogleOAuth::answer(const Request& request)
{
    if (request.path == "/o/oauth2/v2/auth")
        return consent(request);
    if (request.path == "/token")
        return token(request);
    server_.flag(u"unknown path "_s + QString::fromLatin1(request.path));
    return {404, "not found", "text/plain"};
}

FakeGoogleOAuth::Response FakeGoogleOAuth::refused(const QString& violation)
{
    server_.flag(violation);
    return {400, json({{u"error"_s, u"invalid_request"_s}, {u"error_description"_s, violation}})};
}

FakeGoogleOAuth::Response FakeGoogleOAuth::consent(const Request& request)
{
    ++consentPages_;
    if (request.method != "GET")
        return refused(u"consent page: method "_s + QString::fromLatin1(request.method));
    const auto fields = parseStrictForm(request.query);
    if (!fields)
        return refused(u"consent page: the query cannot be read strictly"_s);
    for (auto it = fields->begin(); it != fields->end(); ++it) {
        if (!consentParameters.contains(it.key()))
            return refused(u"consent page: unexpected parameter "_s + it.key());
    }
    for (const QString& name : consentParameters) {
        if (!fields->contains(name))
            return refused(u"consent page: missing parameter "_s + name);
    }
    const QString redirect = fields->value(u"redirect_uri"_s);
    static const QRegularExpression redirectPattern(
        u"^http://(localhost|127\\.0\\.0\\.1|\\[::1\\]):[1-9][0-9]{0,4}/callback$"_s);
    static const QRegularExpression challengePattern(u"^[A-Za-z0-9_-]{43}$"_s);
    if (fields->value(u"client_id"_s) != config_.clientID)
        return refused(u"consent page: wrong client_id"_s);
    if (!redirectPattern.match(redirect).hasMatch())
        return refused(u"consent page: redirect_uri is not a loopback callback"_s);
    if (fields->value(u"response_type"_s) != u"code"_s || fields->value(u"scope"_s) != driveFileScope ||
        fields->value(u"access_type"_s) != u"offline"_s || fields->value(u"prompt"_s) != u"consent"_s ||
        fields->value(u"code_challenge_method"_s) != u"S256"_s)
        return refused(u"consent page: a fixed parameter has another value"_s);
    if (fields->value(u"state"_s).isEmpty())
        return refused(u"consent page: empty state"_s);
    if (!challengePattern.match(fields->value(u"code_challenge"_s)).hasMatch())
        return refused(u"consent page: code_challenge is not 43 base64url characters"_s);

    const QByteArray state = encodeComponent(fields->value(u"state"_s));
    QByteArray location = redirect.toUtf8();
    if (userRefuses_) {
        location += "?error=access_denied&error_description=" +
                    encodeComponent(u"<script>alert('x')</script> The user denied access"_s) +
                    "&state=" + state;
    } else {
        const QString code = mint(u"4/0code-"_s);
        codes_.insert(code, {fields->value(u"code_challenge"_s), redirect, false});
        location += "?state=" + state + "&code=" + encodeComponent(code) +
                    "&scope=" + encodeComponent(driveFileScope);
    }
    return {302, "", "", {{"Location", location}}};
}

FakeGoogleOAuth::Response FakeGoogleOAuth::token(const Request& request)
{
    if (request.method != "POST")
        return refused(u"token: method "_s + QString::fromLatin1(request.method));
    if (request.header("content-type") != "application/x-www-form-urlencoded")
        return refused(u"token: Content-Type "_s + QString::fromLatin1(request.header("content-type")));
    if (!request.query.isEmpty())
        return refused(u"token: parameters in the query"_s);
    const auto fields = parseStrictForm(request.body);
    if (!fields)
        return refused(u"token: the form cannot be read strictly"_s);
    const QString grant = fields->value(u"grant_type"_s);
    if (grant == u"authorization_code"_s)
        return exchangeCode(*fields);
    if (grant == u"refresh_token"_s)
        return refresh(*fields);
    return refused(u"token: grant_type "_s + grant);
}

bool FakeGoogleOAuth::clientMatches(const QHash<QString, QString>& fields)
{
    if (fields.value(u"client_id"_s) != config_.clientID) {
        server_.flag(u"token: wrong client_id"_s);
        return false;
    }
    if (config_.clientSecret.isEmpty() ? fields.contains(u"client_secret"_s)
                                       : fields.value(u"client_secret"_s) != config_.clientSecret) {
        server_.flag(u"token: wrong client_secret"_s);
        return false;
    }
    return true;
}

FakeGoogleOAuth::Response FakeGoogleOAuth::exchangeCode(const QHash<QString, QString>& fields)
{
    ++codeExchanges_;
    const QSet<QString> allowed{u"client_id"_s,     u"client_secret"_s, u"code"_s,
                                u"code_verifier"_s, u"grant_type"_s,    u"redirect_uri"_s};
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (!allowed.contains(it.key()))
            return refused(u"token: unexpected field "_s + it.key());
    }
    const Response invalidGrant{
        400, json({{u"error"_s, u"invalid_grant"_s}, {u"error_description"_s, u"Malformed auth code."_s}})};
    if (!clientMatches(fields))
        return invalidGrant;
    const auto found = codes_.find(fields.value(u"code"_s));
    if (found == codes_.end()) {
        server_.flag(u"token: a code that was never issued (mangled in transit?)"_s);
        return invalidGrant;
    }
    if (found->used)
        return invalidGrant;
    found->used = true;
    const QString verifier = fields.value(u"code_verifier"_s);
    const QString challenge =
        QString::fromLatin1(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
                                .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    if (verifier.size() < 43 || challenge != found->challenge) {
        server_.flag(u"token: code_verifier does not match the challenge"_s);
        return invalidGrant;
    }
    if (fields.value(u"redirect_uri"_s) != found->redirectURI) {
        server_.flag(u"token: redirect_uri differs from the consent page's"_s);
        return invalidGrant;
    }
    return tokenReply(config_.issueRefreshTokens);
}

FakeGoogleOAuth::Response FakeGoogleOAuth::refresh(const QHash<QString, QString>& fields)
{
    ++refreshes_;
    const QSet<QString> allowed{u"client_id"_s, u"client_secret"_s, u"refresh_token"_s, u"grant_type"_s};
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (!allowed.contains(it.key()))
            return refused(u"token: unexpected field "_s + it.key());
    }
    const Response invalidGrant{400,
                                json({{u"error"_s, u"invalid_grant"_s},
                                      {u"error_description"_s, u"Token has been expired or revoked."_s}})};
    if (!clientMatches(fields))
        return invalidGrant;
    const QString refreshToken = fields.value(u"refresh_token"_s);
    if (!refreshTokens_.contains(refreshToken)) {
        server_.flag(u"token: a refresh token that was never issued (mangled in transit?)"_s);
        return invalidGrant;
    }
    if (revoked_.contains(refreshToken))
        return invalidGrant;
    return tokenReply(false);
}

FakeGoogleOAuth::Response FakeGoogleOAuth::tokenReply(bool withRefreshToken)
{
    lastAccessToken_ = mint(u"ya29.access-"_s);
    accessTokens_.insert(lastAccessToken_);
    QJsonObject reply{{u"access_token"_s, lastAccessToken_},
                      {u"expires_in"_s, static_cast<double>(config_.accessTokenLifetimeSeconds)},
                      {u"token_type"_s, u"Bearer"_s},
                      {u"scope"_s, driveFileScope}};
    if (withRefreshToken) {
        lastRefreshToken_ = mint(u"1//refresh-"_s);
        refreshTokens_.insert(lastRefreshToken_);
        reply.insert(u"refresh_token"_s, lastRefreshToken_);
    }
    return {200, json(reply)};
}

} // namespace ebbcast::test
