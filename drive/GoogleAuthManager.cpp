#include "drive/GoogleAuthManager.h"

#include "core/base/Logger.h"
#include "drive/GoogleAuthError.h"
#include "drive/KeychainStore.h"
#include "drive/LocalOAuthCallbackServer.h"
#include "drive/SecretStore.h"

#include <QCoro/QCoroNetworkReply>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringDecoder>
#include <QUrlQuery>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {

const QString GoogleAuthManager::service = u"Ebbcast.GoogleOAuth"_s;
const QString GoogleAuthManager::account = u"default"_s;
const QString GoogleAuthManager::scope = u"https://www.googleapis.com/auth/drive.file"_s;

namespace {

constexpr qsizetype errorTextCharacters = 200;

struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const
    {
        if (!reply->isFinished())
            reply->abort();
        reply->deleteLater();
    }
};

// Every form in which a secret that was sent could come back in a reply.
QString redacted(QString text, const QStringList& secrets)
{
    for (const QString& secret : secrets) {
        if (secret.isEmpty())
            continue;
        text.replace(secret, u"[redacted]"_s);
        text.replace(QString::fromLatin1(OAuthEncoding::percentEncode(secret)), u"[redacted]"_s);
    }
    return text;
}

QString oneLine(const QString& text)
{
    QString line;
    for (const QChar c : text) {
        if (line.size() >= errorTextCharacters)
            break;
        line += (c.category() == QChar::Other_Control || c == QChar::LineSeparator ||
                 c == QChar::ParagraphSeparator)
                    ? u' '
                    : c;
    }
    return line.trimmed();
}

// Google's own words for a refusal: error_description, else error, else the start of the body.
QString refusalText(const QByteArray& body, QString& errorCode)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isObject()) {
        const QJsonObject object = document.object();
        errorCode = object.value(u"error"_s).toString();
        const QString description = object.value(u"error_description"_s).toString();
        if (!description.isEmpty())
            return description;
        if (!errorCode.isEmpty())
            return errorCode;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(body);
    if (decoder.hasError())
        return u"unknown error"_s;
    const QString line = oneLine(text);
    return line.isEmpty() ? u"no details"_s : line;
}

QString transportText(const QNetworkReply& reply, int timeoutMs)
{
    switch (reply.error()) {
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return timeoutMs % 1000 == 0 ? u"no answer within %1 s"_s.arg(timeoutMs / 1000)
                                     : u"no answer within %1 ms"_s.arg(timeoutMs);
    case QNetworkReply::ConnectionRefusedError:
        return u"connection refused"_s;
    case QNetworkReply::HostNotFoundError:
        return u"host not found"_s;
    case QNetworkReply::RemoteHostClosedError:
        return u"the connection closed before a complete reply"_s;
    case QNetworkReply::SslHandshakeFailedError:
        return u"secure connection failed"_s;
    default:
        return oneLine(reply.errorString());
    }
}

} // namespace

GoogleAuthManager::GoogleAuthManager(SettingsSource settings, SecretStore& store,
                                     QNetworkAccessManager& network, GoogleEndpoints endpoints,
                                     Logger& logger, BrowserOpener browser, Options options, WallClock clock)
    : settings_(std::move(settings))
    , store_(store)
    , network_(network)
    , endpoints_(std::move(endpoints))
    , logger_(logger)
    , browser_(std::move(browser))
    , options_(options)
    , clock_(std::move(clock))
{}

GoogleAuthManager::~GoogleAuthManager() = default;

QCoro::Task<std::optional<GoogleToken>> GoogleAuthManager::storedToken()
{
    const std::optional<QByteArray> bytes = co_await store_.load(service, account);
    if (!bytes)
        co_return std::nullopt;
    auto token = GoogleToken::fromJson(*bytes);
    if (!token)
        throw GoogleAuthError(GoogleAuthError::Code::storedTokenUnreadable);
    co_return token;
}

QCoro::Task<bool> GoogleAuthManager::isSignedIn()
{
    try {
        co_return (co_await storedToken()).has_value();
    } catch (const EbbcastError&) {
        co_return false;
    }
}

QCoro::Task<QString> GoogleAuthManager::validAccessToken()
{
    const std::optional<GoogleToken> stored = co_await storedToken();
    if (stored && stored->freshFor(clock_(), freshnessMarginSeconds))
        co_return stored->accessToken;
    if (stored && stored->refreshToken) {
        // The operation is named first: GCC mishandles lambdas built inside a co_await expression.
        std::function<QCoro::Task<GoogleToken>()> refresh = [this] {
            return refreshStored(std::nullopt);
        };
        const GoogleToken refreshed = co_await shared(refreshing_, std::move(refresh));
        co_return refreshed.accessToken;
    }
    if (!options_.interactiveSignInAllowed)
        throw GoogleAuthError(GoogleAuthError::Code::notSignedIn);
    co_return (co_await signIn()).accessToken;
}

QCoro::Task<QString> GoogleAuthManager::replacementAccessToken(const QString& rejected)
{
    std::function<QCoro::Task<GoogleToken>()> refresh = [this, rejectedToken = QString(rejected)] {
        return refreshStored(rejectedToken);
    };
    const GoogleToken token = co_await shared(refreshing_, std::move(refresh));
    co_return token.accessToken;
}

QCoro::Task<GoogleToken> GoogleAuthManager::shared(std::shared_ptr<PendingResult<GoogleToken>>& slot,
                                                   std::function<QCoro::Task<GoogleToken>()> operation)
{
    if (slot)
        co_return co_await slot->wait();
    auto pending = std::make_shared<PendingResult<GoogleToken>>();
    slot = pending;
    try {
        pending->resolve(co_await operation());
    } catch (...) {
        pending->fail(std::current_exception());
    }
    slot.reset();
    co_return co_await pending->wait();
}

QCoro::Task<GoogleToken> GoogleAuthManager::refreshStored(std::optional<QString> rejected)
{
    // Read again: another caller, or another process, may have refreshed meanwhile.
    const std::optional<GoogleToken> stored = co_await storedToken();
    if (!stored)
        throw GoogleAuthError(GoogleAuthError::Code::notSignedIn);
    const bool fresh = stored->freshFor(clock_(), freshnessMarginSeconds);
    if (fresh && (!rejected || stored->accessToken != *rejected))
        co_return *stored;
    if (!stored->refreshToken)
        throw GoogleAuthError(rejected ? GoogleAuthError::Code::signInExpired
                                       : GoogleAuthError::Code::notSignedIn);
    const GoogleOAuthClient client = settings_();
    if (client.clientID.isEmpty())
        throw GoogleAuthError(GoogleAuthError::Code::missingClientID);
    // Named first: GCC cannot keep braced lists alive across a suspension.
    FormFields fields;
    fields.append({u"client_id"_s, client.clientID});
    fields.append({u"client_secret"_s, client.clientSecret});
    fields.append({u"refresh_token"_s, *stored->refreshToken});
    fields.append({u"grant_type"_s, u"refresh_token"_s});
    QStringList secrets;
    secrets << *stored->refreshToken << client.clientSecret;
    const GoogleToken token = co_await tokenRequest(fields, stored->refreshToken, secrets, true);
    co_await store_.save(service, account, token.toJson());
    co_return token;
}

QCoro::Task<GoogleToken> GoogleAuthManager::signIn()
{
    std::function<QCoro::Task<GoogleToken>()> run = [this] {
        return runSignIn();
    };
    co_return co_await shared(signingIn_, std::move(run));
}

void GoogleAuthManager::cancelSignIn()
{
    if (!signingIn_)
        return;
    signInCancelled_ = true;
    if (callbackServer_ != nullptr)
        callbackServer_->cancel();
}

QCoro::Task<GoogleToken> GoogleAuthManager::runSignIn()
{
    signInCancelled_ = false;
    const GoogleOAuthClient client = settings_();
    if (client.clientID.isEmpty())
        throw GoogleAuthError(GoogleAuthError::Code::missingClientID);

    // A store that cannot be used fails now, not after the user went through the consent page.
    co_await store_.load(service, account);

    const QString state = OAuthEncoding::newState();
    const QString verifier = OAuthEncoding::newCodeVerifier();
    LocalOAuthCallbackServer::Options serverOptions;
    serverOptions.port = endpoints_.redirectPort;
    serverOptions.deadlineMs = options_.callbackDeadlineMs;
    LocalOAuthCallbackServer server(serverOptions, state);
    server.listen();
    const QString redirectURI = u"http://localhost:%1/callback"_s.arg(server.port());
    const QUrl address =
        authorizationAddress(client, redirectURI, state, OAuthEncoding::codeChallenge(verifier));

    OAuthCallbackResponse callback;
    callbackServer_ = &server;
    authorizationURL_ = address;
    try {
        logger_.info(u"Opening Google OAuth sign-in"_s);
        browser_(address);
        callback = co_await server.waitForCallback();
    } catch (...) {
        callbackServer_ = nullptr;
        authorizationURL_.clear();
        throw;
    }
    callbackServer_ = nullptr;
    authorizationURL_.clear();

    FormFields fields;
    fields.append({u"client_id"_s, client.clientID});
    fields.append({u"client_secret"_s, client.clientSecret});
    fields.append({u"code"_s, callback.code});
    fields.append({u"code_verifier"_s, verifier});
    fields.append({u"grant_type"_s, u"authorization_code"_s});
    fields.append({u"redirect_uri"_s, redirectURI});
    QStringList secrets;
    secrets << callback.code << verifier << client.clientSecret;
    const GoogleToken token = co_await tokenRequest(fields, std::nullopt, secrets, false);
    if (signInCancelled_)
        throw GoogleAuthError(GoogleAuthError::Code::signInCancelled);
    co_await store_.save(service, account, token.toJson());
    logger_.info(u"Google OAuth sign-in complete"_s);
    co_return token;
}

QUrl GoogleAuthManager::authorizationAddress(const GoogleOAuthClient& client, const QString& redirectURI,
                                             const QString& state, const QString& challenge) const
{
    const FormFields fields{{u"client_id"_s, client.clientID},
                            {u"redirect_uri"_s, redirectURI},
                            {u"response_type"_s, u"code"_s},
                            {u"scope"_s, scope},
                            {u"access_type"_s, u"offline"_s},
                            {u"prompt"_s, u"consent"_s},
                            {u"state"_s, state},
                            {u"code_challenge"_s, challenge},
                            {u"code_challenge_method"_s, u"S256"_s}};
    QUrl address = endpoints_.authorizationURL;
    const QByteArray existing = address.query(QUrl::FullyEncoded).toLatin1();
    const QByteArray query =
        (existing.isEmpty() ? QByteArray() : existing + '&') + OAuthEncoding::formBody(fields);
    address.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    if (!address.isValid() || address.isRelative())
        throw GoogleAuthError(GoogleAuthError::Code::invalidAuthURL);
    return address;
}

QCoro::Task<GoogleToken> GoogleAuthManager::tokenRequest(FormFields fields,
                                                         std::optional<QString> fallbackRefreshToken,
                                                         QStringList secrets, bool refreshing)
{
    QNetworkRequest request(endpoints_.tokenURL);
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/x-www-form-urlencoded"_s);
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(options_.tokenRequestTimeoutMs);

    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(
        network_.post(request, OAuthEncoding::formBody(fields)));
    QByteArray body;
    bool tooLarge = false;
    const qint64 limit = options_.replyLimitBytes;
    QObject::connect(reply.get(), &QNetworkReply::readyRead, reply.get(),
                     [&body, &tooLarge, limit, r = reply.get()] {
                         if (tooLarge)
                             return;
                         body += r->read(limit + 1 - body.size());
                         if (body.size() > limit) {
                             tooLarge = true;
                             body.clear();
                             QMetaObject::invokeMethod(
                                 r, [r] { r->abort(); }, Qt::QueuedConnection);
                         }
                     });
    co_await reply.get();
    QObject::disconnect(reply.get(), &QNetworkReply::readyRead, nullptr, nullptr);
    if (!tooLarge)
        body += reply->read(limit + 1 - body.size());
    if (tooLarge || body.size() > limit)
        throw GoogleAuthError::tokenRequestFailed(u"the reply is larger than %1 KiB"_s.arg(limit / 1024));

    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid())
        throw GoogleAuthError::tokenRequestFailed(transportText(*reply, options_.tokenRequestTimeoutMs));
    const int status = statusAttribute.toInt();
    if (status >= 200 && status <= 299) {
        if (reply->error() != QNetworkReply::NoError)
            throw GoogleAuthError::tokenRequestFailed(transportText(*reply, options_.tokenRequestTimeoutMs));
        const auto response = GoogleTokenResponse::fromJson(body);
        if (!response)
            throw GoogleAuthError(GoogleAuthError::Code::invalidTokenReply);
        co_return response->token(clock_(), fallbackRefreshToken);
    }

    QString errorCode;
    const QString text = (status >= 300 && status <= 399)
                             ? u"the token endpoint redirected (HTTP %1)"_s.arg(status)
                             : redacted(refusalText(body, errorCode), secrets) + u" (HTTP %1)"_s.arg(status);
    if (refreshing && errorCode == u"invalid_grant"_s) {
        logger_.error(u"Google token refresh refused: "_s + text + u"; the stored sign-in is deleted"_s);
        try {
            co_await store_.remove(service, account);
        } catch (const EbbcastError& error) {
            logger_.error(u"Could not delete the refused Google sign-in: "_s + error.description());
        }
        throw GoogleAuthError(GoogleAuthError::Code::signInExpired);
    }
    throw GoogleAuthError::tokenRequestFailed(text);
}

QCoro::Task<bool> GoogleAuthManager::signOut()
{
    const std::optional<QByteArray> bytes = co_await store_.load(service, account);
    if (!bytes)
        co_return false;
    co_await store_.remove(service, account);
    co_return true;
}

} // namespace ebbcast
