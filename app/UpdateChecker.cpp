#include "app/UpdateChecker.h"

#include "core/json/JsonValueCodec.h"

#include <QCoro/QCoroNetworkReply>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QStringDecoder>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {

namespace {

constexpr qsizetype errorTextLimit = 200;
constexpr qsizetype notesLimit = 2000;

// `text` without control characters (line breaks kept when `keepLineBreaks`), cut to `limit` characters.
QString plainText(const QString& text, qsizetype limit, bool keepLineBreaks)
{
    QString result;
    for (const QChar character : text) {
        if (result.size() >= limit)
            break;
        if (keepLineBreaks && character == u'\n')
            result.append(character);
        else if (character.category() != QChar::Other_Control)
            result.append(character);
        else if (!keepLineBreaks && (character == u'\n' || character == u'\t'))
            result.append(u' ');
    }
    return result;
}

bool isLoopback(const QString& host)
{
    if (host.compare(u"localhost"_s, Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// A piece of a version as a digit string without leading zeros ("0" for anything that is not digits).
QString versionPiece(const QString& piece)
{
    for (const QChar character : piece) {
        if (character < u'0' || character > u'9')
            return u"0"_s;
    }
    qsizetype first = 0;
    while (first < piece.size() - 1 && piece.at(first) == u'0')
        ++first;
    return piece.mid(first);
}

qint64 buildNumber(const QString& text)
{
    bool ok = false;
    const qint64 value = text.trimmed().toLongLong(&ok, 10);
    return ok ? value : 0;
}

struct ReplyDeleter {
    void operator()(QNetworkReply* reply) const { reply->deleteLater(); }
};

} // namespace

UpdateCheckError::UpdateCheckError(Code code, QString description)
    : CodedError(code, std::move(description))
{}

UpdateCheckError UpdateCheckError::requestFailed(const QString& message)
{
    return UpdateCheckError(Code::requestFailed, u"Update check failed: "_s + message);
}

UpdateCheckError UpdateCheckError::missingFeedURL()
{
    return UpdateCheckError(Code::missingFeedURL,
                            u"No update feed URL is configured. Add one in Preferences."_s);
}

UpdateCheckError UpdateCheckError::invalidDownloadURL()
{
    return UpdateCheckError(Code::invalidDownloadURL,
                            u"The update feed did not include a valid download URL."_s);
}

UpdateCheckError UpdateCheckError::unreadableFeed(const QString& detail)
{
    return UpdateCheckError(Code::unreadableFeed, u"The update feed could not be read: "_s + detail);
}

UpdateFeed UpdateFeed::decode(const QByteArray& body)
{
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parse);
    if (parse.error != QJsonParseError::NoError)
        throw UpdateCheckError::unreadableFeed(u"it is not JSON ("_s + parse.errorString() + u")."_s);
    if (!document.isObject())
        throw UpdateCheckError::unreadableFeed(u"it is not a JSON object."_s);
    const QJsonObject object = document.object();
    UpdateFeed feed;
    const auto required = [&object](const char* key) {
        const QJsonValue value = object.value(QLatin1StringView(key));
        if (value.isUndefined() || value.isNull())
            throw UpdateCheckError::unreadableFeed(u"\""_s + QLatin1StringView(key) + u"\" is missing."_s);
        return value;
    };
    const auto mistyped = [](const char* key) {
        return UpdateCheckError::unreadableFeed(u"\""_s + QLatin1StringView(key) +
                                                u"\" has the wrong type."_s);
    };
    if (!decodeJson(required("version"), feed.version))
        throw mistyped("version");
    if (!decodeJson(required("build"), feed.build))
        throw mistyped("build");
    if (!decodeJson(required("url"), feed.url))
        throw mistyped("url");
    const QJsonValue notes = object.value("notes"_L1);
    if (!notes.isUndefined() && !notes.isNull()) {
        QString text;
        if (!decodeJson(notes, text))
            throw mistyped("notes");
        feed.notes = text;
    }
    return feed;
}

UpdateChecker::UpdateChecker(FeedSource feed, QNetworkAccessManager& network, Options options)
    : feed_(std::move(feed))
    , network_(network)
    , options_(std::move(options))
{}

int UpdateChecker::compareVersions(const QString& a, const QString& b)
{
    const QStringList left = a.split(u'.', Qt::SkipEmptyParts);
    const QStringList right = b.split(u'.', Qt::SkipEmptyParts);
    for (qsizetype index = 0; index < std::max(left.size(), right.size()); ++index) {
        const QString x = index < left.size() ? versionPiece(left.at(index)) : u"0"_s;
        const QString y = index < right.size() ? versionPiece(right.at(index)) : u"0"_s;
        if (x.size() != y.size())
            return x.size() < y.size() ? -1 : 1;
        if (const int order = x.compare(y); order != 0)
            return order < 0 ? -1 : 1;
    }
    return 0;
}

bool UpdateChecker::isNewer(qint64 currentBuild, const QString& currentVersion, qint64 latestBuild,
                            const QString& latestVersion)
{
    if (currentBuild != latestBuild)
        return currentBuild < latestBuild;
    return compareVersions(latestVersion, currentVersion) > 0;
}

QUrl UpdateChecker::feedURL() const
{
    const QString text = feed_ ? feed_().trimmed() : QString();
    const QUrl url(text, QUrl::StrictMode);
    if (text.isEmpty() || !url.isValid() || url.isRelative() || url.host().isEmpty())
        throw UpdateCheckError::missingFeedURL();
    // Anyone on the path of a plain-http feed could announce an "update" with a link of their choosing.
    const QString scheme = url.scheme().toLower();
    if (scheme != u"https" && !(scheme == u"http" && isLoopback(url.host())))
        throw UpdateCheckError::requestFailed(u"the update feed address must use https"_s);
    return url;
}

QUrl UpdateChecker::downloadURL(const QString& announced, const QUrl& feed) const
{
    // The link is opened in the browser later: only an absolute https address on a host we trust.
    for (const QChar character : announced) {
        if (character.isSpace() || character.category() == QChar::Other_Control)
            throw UpdateCheckError::invalidDownloadURL();
    }
    const QUrl url(announced, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty() || !url.userInfo().isEmpty())
        throw UpdateCheckError::invalidDownloadURL();
    const QString scheme = url.scheme().toLower();
    const bool secure = scheme == u"https" || (scheme == u"http" && isLoopback(feed.host()));
    if (!secure)
        throw UpdateCheckError::invalidDownloadURL();
    const QString host = url.host().toLower();
    bool trusted = host == feed.host().toLower();
    for (const QString& allowed : options_.downloadHosts)
        trusted = trusted || host == allowed.trimmed().toLower();
    if (!trusted)
        throw UpdateCheckError::invalidDownloadURL();
    return url;
}

QCoro::Task<UpdateCheckResult> UpdateChecker::checkForUpdate()
{
    const QUrl feed = feedURL();
    QNetworkRequest request(feed);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setTransferTimeout(options_.timeoutMs);
    const std::unique_ptr<QNetworkReply, ReplyDeleter> reply(network_.get(request));
    const qint64 limit = options_.bodyLimitBytes;
    QByteArray body;
    bool tooLarge = false;
    QNetworkReply* const raw = reply.get();
    QObject::connect(raw, &QNetworkReply::readyRead, raw, [raw, &body, &tooLarge, limit] {
        body += raw->read(limit + 1 - body.size());
        if (body.size() > limit && !tooLarge) {
            tooLarge = true;
            // Not from inside the reply's own signal: the awaiting coroutine would resume in it.
            QTimer::singleShot(0, raw, &QNetworkReply::abort);
        }
    });
    co_await raw;
    if (!tooLarge && raw->isOpen())
        body += raw->read(limit + 1 - body.size());
    if (tooLarge || body.size() > limit)
        throw UpdateCheckError::requestFailed(u"the reply is larger than %1 bytes"_s.arg(limit));
    const QVariant statusAttribute = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!statusAttribute.isValid()) {
        if (raw->error() == QNetworkReply::OperationCanceledError)
            throw UpdateCheckError::requestFailed(u"no reply within %1 s"_s.arg(options_.timeoutMs / 1000.0));
        throw UpdateCheckError::requestFailed(raw->errorString());
    }
    const int status = statusAttribute.toInt();
    if (status < 200 || status > 299) {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(body);
        if (decoder.hasError())
            throw UpdateCheckError::requestFailed(u"unknown error"_s);
        const QString shown = plainText(text, errorTextLimit, false).trimmed();
        throw UpdateCheckError::requestFailed(shown.isEmpty() ? u"HTTP "_s + QString::number(status) : shown);
    }
    if (raw->error() != QNetworkReply::NoError)
        throw UpdateCheckError::requestFailed(raw->errorString());

    const UpdateFeed decoded = UpdateFeed::decode(body);
    UpdateCheckResult result;
    result.downloadURL = downloadURL(decoded.url, feed);
    result.currentVersion = options_.currentVersion.isEmpty() ? u"0"_s : options_.currentVersion;
    result.currentBuild = buildNumber(options_.currentBuild);
    result.latestVersion = decoded.version;
    result.latestBuild = decoded.build;
    result.notes = plainText(decoded.notes.value_or(QString()), notesLimit, true);
    result.isUpdateAvailable =
        isNewer(result.currentBuild, result.currentVersion, result.latestBuild, result.latestVersion);
    co_return result;
}

} // namespace ebbcast
