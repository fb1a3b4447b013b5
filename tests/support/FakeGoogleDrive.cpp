#include "support/FakeGoogleDrive.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

using Response = FakeHttpServer::Response;
using Request = FakeHttpServer::Request;

constexpr qint64 chunkGranularity = 256 * 1024;
const QString folderMime = u"application/vnd.google-apps.folder"_s;

Response json(int status, const QJsonObject& object)
{
    Response response;
    response.status = status;
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return response;
}

std::optional<qint64> digits(const QString& text)
{
    static const QRegularExpression pattern(u"^[0-9]{1,18}$"_s);
    if (!pattern.match(text).hasMatch())
        return std::nullopt;
    return text.toLongLong();
}

// Decodes one query component as Google does: "+" is a space, then percent-decoding as UTF-8.
std::optional<QString> decodeComponent(QByteArray text)
{
    text.replace('+', ' ');
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        if (i + 2 >= text.size() || !isxdigit(static_cast<unsigned char>(text[i + 1])) ||
            !isxdigit(static_cast<unsigned char>(text[i + 2])))
            return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString result = decoder.decode(QByteArray::fromPercentEncoding(text));
    if (decoder.hasError())
        return std::nullopt;
    return result;
}

// Reads a '…' literal at `position` with the escapes \' and \\ only.
std::optional<QString> literal(const QString& text, qsizetype& position)
{
    if (position >= text.size() || text[position] != u'\'')
        return std::nullopt;
    QString value;
    for (qsizetype i = position + 1; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\\') {
            if (i + 1 >= text.size() || (text[i + 1] != u'\'' && text[i + 1] != u'\\'))
                return std::nullopt;
            value += text[++i];
        } else if (c == u'\'') {
            position = i + 1;
            return value;
        } else {
            value += c;
        }
    }
    return std::nullopt;
}

bool consume(const QString& text, qsizetype& position, const QString& word)
{
    if (!QStringView(text).sliced(position).startsWith(word))
        return false;
    position += word.size();
    return true;
}

} // namespace

// --- the search grammar ---

std::optional<DriveSearchQuery> DriveSearchQuery::parse(const QString& text)
{
    DriveSearchQuery query;
    qsizetype at = 0;
    while (true) {
        if (consume(text, at, u"mimeType = "_s)) {
            const auto value = literal(text, at);
            if (!value || query.mimeType)
                return std::nullopt;
            query.mimeType = value;
        } else if (consume(text, at, u"mimeType != "_s)) {
            const auto value = literal(text, at);
            if (!value || query.notMimeType)
                return std::nullopt;
            query.notMimeType = value;
        } else if (consume(text, at, u"trashed = "_s)) {
            if (query.trashed)
                return std::nullopt;
            if (consume(text, at, u"false"_s))
                query.trashed = false;
            else if (consume(text, at, u"true"_s))
                query.trashed = true;
            else
                return std::nullopt;
        } else if (consume(text, at, u"name = "_s)) {
            const auto value = literal(text, at);
            if (!value || query.name)
                return std::nullopt;
            query.name = value;
        } else {
            const auto value = literal(text, at);
            if (!value || query.parentID || !consume(text, at, u" in parents"_s))
                return std::nullopt;
            query.parentID = value;
        }
        if (at == text.size())
            return query;
        if (!consume(text, at, u" and "_s))
            return std::nullopt;
    }
}

// --- faults ---

namespace {

FakeGoogleDrive::Fault faultOf(FakeGoogleDrive::Fault::Kind kind, int status, const QString& message = {})
{
    FakeGoogleDrive::Fault fault;
    fault.kind = kind;
    fault.status = status;
    if (!message.isEmpty())
        fault.message = message;
    return fault;
}

} // namespace

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::withStatus(int status, QString message)
{
    Fault fault;
    fault.status = status;
    fault.message = std::move(message);
    return fault;
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::tooManyRequests(int retryAfterSeconds)
{
    Fault fault = faultOf(Kind::tooManyRequests, 429, u"Rate Limit Exceeded"_s);
    fault.retryAfterSeconds = retryAfterSeconds;
    return fault;
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::unauthorized()
{
    return faultOf(Kind::unauthorized, 401, u"Invalid Credentials"_s);
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::hang(qint64 keepBytes)
{
    Fault fault = faultOf(Kind::hang, 0);
    fault.keepBytes = keepBytes;
    return fault;
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::drop(qint64 keepBytes)
{
    Fault fault = faultOf(Kind::drop, 0);
    fault.keepBytes = keepBytes;
    return fault;
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::reset(qint64 keepBytes)
{
    Fault fault = faultOf(Kind::reset, 0);
    fault.keepBytes = keepBytes;
    return fault;
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::shortAcknowledgement(qint64 keepBytes)
{
    Fault fault = faultOf(Kind::shortAcknowledgement, 308);
    fault.keepBytes = keepBytes;
    return fault;
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::malformedReply()
{
    return faultOf(Kind::malformedReply, 200);
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::noRange()
{
    return faultOf(Kind::noRange, 308);
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::hugeRange()
{
    return faultOf(Kind::hugeRange, 308);
}

FakeGoogleDrive::Fault FakeGoogleDrive::Fault::foreignLocation(QUrl location)
{
    Fault fault = faultOf(Kind::foreignLocation, 200);
    fault.location = std::move(location);
    return fault;
}

// --- chunk bodies, written where they belong as they arrive ---

class FakeGoogleDrive::ChunkSink : public FakeHttpServer::BodySink {
public:
    ChunkSink(const QString& path, qint64 offset)
        : file_(path)
        , position_(offset)
    {
        if (!file_.open(QIODevice::ReadWrite))
            throw std::runtime_error("the fake Drive cannot write its session file");
    }
    void take(QByteArrayView bytes) override
    {
        file_.seek(position_);
        file_.write(bytes.data(), bytes.size());
        file_.flush(); // the answer reads the file while this sink is still alive
        position_ += bytes.size();
    }

private:
    QFile file_;
    qint64 position_;
};

namespace {

// Hash-only: the bytes beyond those already hashed go into the session's digests; the rest are dropped.
class DigestSink : public FakeHttpServer::BodySink {
public:
    DigestSink(std::shared_ptr<StreamDigest> digest, qint64 offset)
        : digest_(std::move(digest))
        , position_(offset)
    {}
    void take(QByteArrayView bytes) override
    {
        const qint64 skip = std::clamp<qint64>(digest_->held - position_, 0, bytes.size());
        const QByteArrayView fresh = bytes.sliced(skip);
        if (position_ + skip == digest_->held && !fresh.isEmpty()) {
            digest_->sha256.addData(fresh);
            digest_->md5.addData(fresh);
            digest_->held += fresh.size();
        }
        position_ += bytes.size();
    }

private:
    std::shared_ptr<StreamDigest> digest_;
    qint64 position_;
};

} // namespace

// --- the model ---

FakeGoogleDrive::FakeGoogleDrive(FakeHttpServer& server, Config config)
    : server_(server)
    , config_(std::move(config))
{
    if (config_.storageFolder.isEmpty()) {
        ownStorage_ = std::make_unique<QTemporaryDir>();
        storage_ = QDir(ownStorage_->path());
    } else {
        storage_ = QDir(config_.storageFolder);
    }
    Item root;
    root.id = config_.rootFolderID;
    root.name = u"My Drive"_s;
    root.mimeType = folderMime;
    items_.append(root);
    server_.setModel(*this);
}

FakeGoogleDrive::~FakeGoogleDrive() = default;

QUrl FakeGoogleDrive::apiURL() const
{
    return server_.url(u"/"_s);
}

QString FakeGoogleDrive::newID(const QString& prefix)
{
    return prefix + QString::number(nextID_++);
}

QString FakeGoogleDrive::addFolder(const QString& name, const QString& parentID)
{
    Item folder;
    folder.id = newID(u"folder-"_s);
    folder.name = name;
    folder.parentID = parentID;
    folder.mimeType = folderMime;
    items_.append(folder);
    return folder.id;
}

QString FakeGoogleDrive::addFile(const QString& name, const QString& parentID, const QByteArray& content,
                                 const QString& mimeType)
{
    Item file;
    file.id = newID(u"file-"_s);
    file.name = name;
    file.parentID = parentID;
    file.mimeType = mimeType;
    file.size = content.size();
    file.sha256 = QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
    file.md5 = QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex();
    items_.append(file);
    return file.id;
}

FakeGoogleDrive::Item* FakeGoogleDrive::item(const QString& id)
{
    for (Item& candidate : items_) {
        if (candidate.id == id)
            return &candidate;
    }
    return nullptr;
}

QList<FakeGoogleDrive::Item> FakeGoogleDrive::items() const
{
    return items_;
}

std::optional<FakeGoogleDrive::Item> FakeGoogleDrive::lastUpload() const
{
    if (!lastUpload_)
        return std::nullopt;
    for (const Item& candidate : items_) {
        if (candidate.id == *lastUpload_)
            return candidate;
    }
    return std::nullopt;
}

void FakeGoogleDrive::addFault(Route route, int request, const Fault& fault, bool sticky)
{
    rules_.append(Rule{route, request, fault, sticky});
}

QList<FakeGoogleDrive::Exchange> FakeGoogleDrive::exchangesTo(Route route) const
{
    QList<Exchange> result;
    for (const Exchange& exchange : exchanges_) {
        if (exchange.route == route)
            result.append(exchange);
    }
    return result;
}

std::optional<FakeGoogleDrive::Fault> FakeGoogleDrive::dueFault(Route route)
{
    std::optional<Fault> due;
    for (Rule& rule : rules_) {
        if (rule.route != route || rule.spent)
            continue;
        ++rule.seen;
        if (!due && rule.seen >= rule.request) {
            due = rule.fault;
            rule.spent = !rule.sticky;
        }
    }
    return due;
}

FakeGoogleDrive::Route FakeGoogleDrive::routeOf(const Request& request) const
{
    const QByteArray& path = request.path;
    if (path == "/drive/v3/files")
        return request.method == "GET"    ? Route::search
               : request.method == "POST" ? Route::createFolder
                                          : Route::unknown;
    if (path.startsWith("/drive/v3/files/") && request.method == "GET")
        return Route::metadata;
    if (path == "/drive/v3/about" && request.method == "GET")
        return Route::about;
    if (path == "/upload/drive/v3/files") {
        const bool session = request.query.contains("upload_id=");
        if (request.method == "PUT" && session)
            return request.header("content-range").startsWith("bytes */") ? Route::statusQuery : Route::chunk;
        if (request.method == "POST" && request.query.startsWith("uploadType=multipart"))
            return Route::multipart;
        if (request.method == "POST" && request.query.startsWith("uploadType=resumable"))
            return Route::sessionStart;
    }
    return Route::unknown;
}

std::shared_ptr<FakeHttpServer::BodySink> FakeGoogleDrive::bodySink(const Request& request)
{
    if (routeOf(request) != Route::chunk)
        return nullptr;
    Session* session = sessionOf(request);
    static const QRegularExpression range(u"^bytes ([0-9]{1,18})-([0-9]{1,18})/([0-9]{1,18})$"_s);
    const QRegularExpressionMatch match = range.match(QString::fromLatin1(request.header("content-range")));
    if (!session || session->finished || !match.hasMatch())
        return nullptr;
    const qint64 start = match.captured(1).toLongLong();
    if (start > session->held)
        return nullptr; // a gap: refused in answer()
    if (session->digest)
        return std::make_shared<DigestSink>(session->digest, start);
    return std::make_shared<ChunkSink>(session->filePath, start);
}

FakeHttpServer::Response FakeGoogleDrive::error(int status, const QString& message) const
{
    return json(status, QJsonObject{{u"error"_s, QJsonObject{{u"code"_s, status}, {u"message"_s, message}}}});
}

FakeHttpServer::Response FakeGoogleDrive::refuse(int status, const QString& violation)
{
    server_.flag(violation);
    return error(status, violation);
}

FakeHttpServer::Response FakeGoogleDrive::answer(const Request& request)
{
    Exchange exchange;
    exchange.route = routeOf(request);
    exchange.method = request.method;
    exchange.contentRange = request.header("content-range");
    exchange.bodySize = request.bodySize;
    const QByteArray authorization = request.header("authorization");
    if (authorization.startsWith("Bearer "))
        exchange.token = authorization.sliced(7);

    const std::optional<Fault> fault = dueFault(exchange.route);
    Response response;
    if (exchange.route == Route::unknown) {
        response = refuse(404, u"no such route: %1 %2"_s.arg(QString::fromLatin1(request.method),
                                                             QString::fromLatin1(request.target)));
    } else if (!authorization.startsWith("Bearer ")) {
        response = refuse(401, u"no bearer token"_s);
    } else if (!(config_.tokens.contains(QString::fromUtf8(exchange.token)) ||
                 (config_.issuedToken && config_.issuedToken(QString::fromUtf8(exchange.token)))) ||
               expired_.contains(QString::fromUtf8(exchange.token))) {
        response = error(401, u"Invalid Credentials"_s);
    } else {
        response = route(exchange, request, fault);
    }
    exchange.status =
        response.fault && response.fault->kind != FakeHttpServer::Fault::Kind::status ? 0 : response.status;
    exchanges_.append(exchange);
    return response;
}

FakeHttpServer::Response FakeGoogleDrive::route(Exchange& exchange, const Request& request,
                                                const std::optional<Fault>& fault)
{
    if (fault && fault->kind == Fault::Kind::malformedReply && exchange.route != Route::chunk) {
        Response response = route(exchange, request, std::nullopt); // done, but the answer is cut short
        response.body = response.body.left(response.body.size() / 2);
        return response;
    }
    // Faults that replace the answer alike on every route; the chunk and session routes handle the rest.
    if (fault && exchange.route != Route::chunk) {
        switch (fault->kind) {
        case Fault::Kind::status:
            return error(fault->status, fault->message);
        case Fault::Kind::tooManyRequests: {
            Response response = error(429, fault->message);
            response.headers.append({"Retry-After", QByteArray::number(fault->retryAfterSeconds)});
            return response;
        }
        case Fault::Kind::unauthorized:
            return error(401, fault->message);
        case Fault::Kind::hang: {
            Response response;
            response.fault = FakeHttpServer::Fault::hang();
            return response;
        }
        case Fault::Kind::reset: {
            Response response;
            response.fault = FakeHttpServer::Fault::resetBeforeAnswer();
            return response;
        }
        default:
            break;
        }
    }
    switch (exchange.route) {
    case Route::search:
        return search(request);
    case Route::createFolder:
        return createFolder(request);
    case Route::metadata:
        return metadata(request);
    case Route::about:
        return about(request);
    case Route::multipart:
        return multipart(request);
    case Route::sessionStart:
        return startSession(request, fault);
    case Route::chunk:
        return chunk(request, fault);
    case Route::statusQuery:
        return statusQuery(request);
    case Route::unknown:
        break;
    }
    return error(404, u"Not Found"_s);
}

std::optional<QHash<QString, QString>> FakeGoogleDrive::queryOf(const Request& request,
                                                                const QStringList& allowed)
{
    QHash<QString, QString> result;
    if (request.query.isEmpty())
        return result;
    for (const QByteArray& pair : request.query.split('&')) {
        const qsizetype equals = pair.indexOf('=');
        const std::optional<QString> key = decodeComponent(pair.first(equals < 0 ? pair.size() : equals));
        const std::optional<QString> value =
            decodeComponent(equals < 0 ? QByteArray() : pair.sliced(equals + 1));
        if (!key || !value || equals < 0 || !allowed.contains(*key) || result.contains(*key)) {
            server_.flag(u"unexpected query item: %1"_s.arg(QString::fromLatin1(pair)));
            return std::nullopt;
        }
        result.insert(*key, *value);
    }
    return result;
}

bool FakeGoogleDrive::checkSharedDrives(const QHash<QString, QString>& query)
{
    if (query.value(u"supportsAllDrives"_s) == u"true"_s)
        return true;
    server_.flag(u"supportsAllDrives=true missing"_s);
    return false;
}

FakeHttpServer::Response FakeGoogleDrive::search(const Request& request)
{
    const auto query =
        queryOf(request, {u"supportsAllDrives"_s, u"includeItemsFromAllDrives"_s, u"fields"_s, u"q"_s});
    if (!query || !checkSharedDrives(*query))
        return error(400, u"Invalid query"_s);
    if (query->value(u"includeItemsFromAllDrives"_s) != u"true"_s)
        return refuse(400, u"includeItemsFromAllDrives=true missing"_s);
    const std::optional<DriveSearchQuery> search = DriveSearchQuery::parse(query->value(u"q"_s));
    if (!search || !search->parentID || !search->name)
        return refuse(400, u"Invalid Value: the search does not parse: "_s + query->value(u"q"_s));
    const QString fields = query->value(u"fields"_s);
    QJsonArray files;
    for (const Item& candidate : items_) {
        if (candidate.parentID != *search->parentID || candidate.name != *search->name ||
            (search->trashed && candidate.trashed != *search->trashed) ||
            (search->mimeType && candidate.mimeType != *search->mimeType) ||
            (search->notMimeType && candidate.mimeType == *search->notMimeType))
            continue;
        QJsonObject entry{{u"id"_s, candidate.id}, {u"name"_s, candidate.name}};
        if (fields.contains(u"size"_s) && candidate.mimeType != folderMime)
            entry.insert(u"size"_s, QString::number(candidate.size));
        if (fields.contains(u"md5Checksum"_s) && !candidate.md5.isEmpty())
            entry.insert(u"md5Checksum"_s, QString::fromLatin1(candidate.md5));
        files.append(entry);
    }
    return json(200, QJsonObject{{u"files"_s, files}});
}

FakeHttpServer::Response FakeGoogleDrive::createFolder(const Request& request)
{
    const auto query = queryOf(request, {u"supportsAllDrives"_s});
    if (!query || !checkSharedDrives(*query))
        return error(400, u"Invalid query"_s);
    if (!request.header("content-type").startsWith("application/json"))
        return refuse(400, u"folder creation without a JSON body"_s);
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    const QJsonArray parents = body.value(u"parents"_s).toArray();
    if (body.size() != 3 || !body.value(u"name"_s).isString() ||
        body.value(u"mimeType"_s).toString() != folderMime || parents.size() != 1 ||
        !parents.at(0).isString())
        return refuse(400, u"folder creation body: "_s + QString::fromUtf8(request.body));
    const Item* parent = item(parents.at(0).toString());
    if (!parent || parent->mimeType != folderMime)
        return error(404, u"File not found: "_s + parents.at(0).toString());
    const QString id = addFolder(body.value(u"name"_s).toString(), parent->id);
    return json(200,
                QJsonObject{{u"id"_s, id}, {u"name"_s, body.value(u"name"_s)}, {u"mimeType"_s, folderMime}});
}

FakeHttpServer::Response FakeGoogleDrive::metadata(const Request& request)
{
    const auto query = queryOf(request, {u"supportsAllDrives"_s, u"fields"_s});
    if (!query || !checkSharedDrives(*query))
        return error(400, u"Invalid query"_s);
    const QByteArray segment = request.path.sliced(qsizetype(strlen("/drive/v3/files/")));
    const std::optional<QString> id = decodeComponent(segment);
    if (!id || segment.contains('/') || segment.contains('+'))
        return refuse(400, u"an id that is not one path segment"_s);
    Item* file = item(*id);
    if (!file)
        return error(404, u"File not found: "_s + *id);
    ++file->metadataFetches;
    if (file->metadataReply)
        return json(200, *file->metadataReply);
    QJsonObject reply{{u"id"_s, file->id}, {u"name"_s, file->name}, {u"mimeType"_s, file->mimeType}};
    if (file->metadataFetches > config_.processingFetches) {
        reply.insert(u"thumbnailLink"_s, QString(u"https://thumbnails.invalid/"_s + file->id));
        if (file->mimeType.startsWith(u"video/"_s))
            reply.insert(u"videoMediaMetadata"_s, QJsonObject{{u"width"_s, 1920}, {u"height"_s, 1080}});
    }
    return json(200, reply);
}

FakeHttpServer::Response FakeGoogleDrive::about(const Request& request)
{
    const auto query = queryOf(request, {u"fields"_s});
    if (!query || query->value(u"fields"_s) != u"user(displayName,emailAddress)"_s)
        return refuse(400, u"about without its fields"_s);
    return json(200, QJsonObject{{u"user"_s, QJsonObject{{u"kind"_s, u"drive#user"_s},
                                                         {u"displayName"_s, config_.displayName},
                                                         {u"emailAddress"_s, config_.emailAddress}}}});
}

FakeHttpServer::Response FakeGoogleDrive::multipart(const Request& request)
{
    const auto query = queryOf(request, {u"uploadType"_s, u"supportsAllDrives"_s});
    if (!query || !checkSharedDrives(*query))
        return error(400, u"Invalid query"_s);
    static const QRegularExpression type(u"^multipart/related; boundary=([A-Za-z0-9'()+_,./:=?-]{1,70})$"_s);
    const QRegularExpressionMatch match = type.match(QString::fromLatin1(request.header("content-type")));
    if (!match.hasMatch())
        return refuse(400, u"multipart upload without a boundary"_s);
    const QByteArray boundary = match.captured(1).toLatin1();
    const QByteArray& body = request.body;
    const QByteArray first = "--" + boundary + "\r\nContent-Type: application/json; charset=UTF-8\r\n\r\n";
    const QByteArray middle = "\r\n--" + boundary + "\r\nContent-Type: ";
    const QByteArray last = "\r\n--" + boundary + "--\r\n";
    const qsizetype middleAt = body.indexOf(middle, first.size());
    const qsizetype contentAt = middleAt < 0 ? -1 : body.indexOf("\r\n\r\n", middleAt + middle.size());
    if (!body.startsWith(first) || middleAt < 0 || contentAt < 0 || !body.endsWith(last))
        return refuse(400, u"multipart body not framed as expected"_s);
    const QJsonObject metadata =
        QJsonDocument::fromJson(body.sliced(first.size(), middleAt - first.size())).object();
    const QString mimeType =
        QString::fromLatin1(body.sliced(middleAt + middle.size(), contentAt - middleAt - middle.size()));
    const qsizetype dataAt = contentAt + 4;
    const QByteArray content = body.sliced(dataAt, body.size() - last.size() - dataAt);
    const QJsonArray parents = metadata.value(u"parents"_s).toArray();
    if (metadata.size() != 2 || !metadata.value(u"name"_s).isString() || parents.size() != 1)
        return refuse(400, u"multipart metadata: "_s +
                               QString::fromUtf8(body.first(std::min<qsizetype>(middleAt, 500))));
    const Item* parent = item(parents.at(0).toString());
    if (!parent || parent->mimeType != folderMime)
        return error(404, u"File not found: "_s + parents.at(0).toString());
    const QString parentID = parent->id; // `parent` points into items_, which addFile may move
    const QString id = addFile(metadata.value(u"name"_s).toString(), parentID, content, mimeType);
    uploadTimeline_.append({true, parentID});
    uploadTimeline_.append({false, parentID});
    lastUpload_ = id;
    return json(200, QJsonObject{{u"id"_s, id}, {u"name"_s, metadata.value(u"name"_s)}});
}

FakeHttpServer::Response FakeGoogleDrive::startSession(const Request& request,
                                                       const std::optional<Fault>& fault)
{
    const auto query = queryOf(request, {u"uploadType"_s, u"supportsAllDrives"_s});
    if (!query || !checkSharedDrives(*query))
        return error(400, u"Invalid query"_s);
    const std::optional<qint64> total =
        digits(QString::fromLatin1(request.header("x-upload-content-length")));
    const QByteArray contentType = request.header("x-upload-content-type");
    if (!total || contentType.isEmpty())
        return refuse(400, u"session start without X-Upload-Content-Type and -Length"_s);
    if (request.header("content-type") != "application/json; charset=UTF-8")
        return refuse(400, u"session start metadata not JSON"_s);
    const QJsonObject metadata = QJsonDocument::fromJson(request.body).object();
    const QJsonArray parents = metadata.value(u"parents"_s).toArray();
    if (metadata.size() != 2 || !metadata.value(u"name"_s).isString() || parents.size() != 1)
        return refuse(400, u"session metadata: "_s + QString::fromUtf8(request.body));
    const Item* parent = item(parents.at(0).toString());
    if (!parent || parent->mimeType != folderMime)
        return error(404, u"File not found: "_s + parents.at(0).toString());
    Response response = json(200, {});
    response.body.clear();
    if (fault && fault->kind == Fault::Kind::foreignLocation) {
        response.headers.append({"Location", fault->location.toEncoded()});
        return response;
    }
    Session session;
    session.id = newID(u"session-"_s) + u"-secret"_s;
    session.name = metadata.value(u"name"_s).toString();
    session.parentID = parent->id;
    session.mimeType = QString::fromLatin1(contentType);
    session.total = *total;
    if (config_.hashOnly) {
        session.digest = std::make_shared<StreamDigest>();
    } else {
        session.filePath = storage_.filePath(session.id);
        QFile file(session.filePath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            throw std::runtime_error("the fake Drive cannot create its session file");
    }
    sessions_.insert(session.id, session);
    uploadTimeline_.append({true, session.parentID});
    response.headers.append(
        {"Location",
         server_.url(u"/upload/drive/v3/files?uploadType=resumable&upload_id="_s + session.id).toEncoded()});
    return response;
}

FakeGoogleDrive::Session* FakeGoogleDrive::sessionOf(const Request& request)
{
    static const QRegularExpression pattern(u"^uploadType=resumable&upload_id=([A-Za-z0-9-]+)$"_s);
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(request.query));
    if (!match.hasMatch())
        return nullptr;
    const auto found = sessions_.find(match.captured(1));
    return found == sessions_.end() ? nullptr : &found.value();
}

FakeHttpServer::Response FakeGoogleDrive::incomplete(const Session& session) const
{
    Response response;
    response.status = 308;
    response.contentType.clear();
    if (session.held > 0)
        response.headers.append({"Range", "bytes=0-" + QByteArray::number(session.held - 1)});
    return response;
}

FakeHttpServer::Response FakeGoogleDrive::finish(Session& session)
{
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    QCryptographicHash md5(QCryptographicHash::Md5);
    if (!session.digest) {
        QFile file(session.filePath);
        file.resize(session.total);
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error("the fake Drive cannot read its session file");
        while (!file.atEnd()) {
            const QByteArray piece = file.read(1024 * 1024);
            sha256.addData(piece);
            md5.addData(piece);
        }
    }
    Item upload;
    upload.id = newID(u"file-"_s);
    upload.name = session.name;
    upload.parentID = session.parentID;
    upload.mimeType = session.mimeType;
    upload.size = session.total;
    upload.sha256 = (session.digest ? session.digest->sha256.result() : sha256.result()).toHex();
    upload.md5 = (session.digest ? session.digest->md5.result() : md5.result()).toHex();
    items_.append(upload);
    session.finished = true;
    session.fileID = upload.id;
    uploadTimeline_.append({false, session.parentID});
    lastUpload_ = upload.id;
    return json(200, QJsonObject{{u"id"_s, upload.id}, {u"name"_s, upload.name}});
}

FakeHttpServer::Response FakeGoogleDrive::chunk(const Request& request, const std::optional<Fault>& fault)
{
    Session* session = sessionOf(request);
    if (!session)
        return error(404, u"Not Found"_s);
    static const QRegularExpression range(u"^bytes ([0-9]{1,18})-([0-9]{1,18})/([0-9]{1,18})$"_s);
    const QRegularExpressionMatch match = range.match(QString::fromLatin1(request.header("content-range")));
    if (!match.hasMatch())
        return refuse(400, u"chunk without a valid Content-Range"_s);
    const qint64 start = match.captured(1).toLongLong();
    const qint64 end = match.captured(2).toLongLong();
    const qint64 total = match.captured(3).toLongLong();
    const qint64 length = end - start + 1;
    if (total != session->total || end < start || end >= total || request.bodySize != length ||
        request.header("content-length") != QByteArray::number(length))
        return refuse(400, u"chunk range %1 does not fit its body or the session"_s.arg(
                               QString::fromLatin1(request.header("content-range"))));
    if (start > session->held)
        return refuse(400,
                      u"chunk from %1 leaves a gap after the %2 bytes held"_s.arg(start).arg(session->held));
    if (end + 1 < total && length % chunkGranularity != 0)
        return refuse(400, u"a chunk before the last is %1 bytes, not a multiple of 256 KiB"_s.arg(length));
    if (session->finished)
        return refuse(400, u"a chunk after the upload finished"_s);

    // How much of the chunk Drive keeps.
    qint64 kept = length;
    if (fault) {
        switch (fault->kind) {
        case Fault::Kind::hang:
        case Fault::Kind::drop:
        case Fault::Kind::reset:
        case Fault::Kind::shortAcknowledgement:
            kept = fault->keepBytes < 0 ? length : std::min(fault->keepBytes, length);
            break;
        case Fault::Kind::noRange:
        case Fault::Kind::hugeRange:
            kept = 0;
            break;
        default:
            kept = 0; // refused
            break;
        }
    }
    if (kept > 0)
        session->held = std::max(session->held, start + kept);
    if (fault) {
        Response response;
        switch (fault->kind) {
        case Fault::Kind::status:
            return error(fault->status, fault->message);
        case Fault::Kind::tooManyRequests:
            response = error(429, fault->message);
            response.headers.append({"Retry-After", QByteArray::number(fault->retryAfterSeconds)});
            return response;
        case Fault::Kind::unauthorized:
            return error(401, fault->message);
        case Fault::Kind::hang:
            response.fault = FakeHttpServer::Fault::hang();
            return response;
        case Fault::Kind::reset:
            response.fault = FakeHttpServer::Fault::resetBeforeAnswer();
            return response;
        case Fault::Kind::drop:
        case Fault::Kind::shortAcknowledgement:
        case Fault::Kind::foreignLocation:
        case Fault::Kind::malformedReply: // not on chunks
            break;
        case Fault::Kind::noRange:
            session->held = 0; // a 308 without Range: Drive holds nothing of the upload
            response = incomplete(*session);
            return response;
        case Fault::Kind::hugeRange:
            response = incomplete(*session);
            response.headers = {{"Range", "bytes=0-18446744073709551615"}};
            return response;
        }
    }
    Response response = session->held >= session->total ? finish(*session) : incomplete(*session);
    if (fault && fault->kind == Fault::Kind::drop)
        response.fault = FakeHttpServer::Fault::resetInBody(response.body.size() / 2);
    return response;
}

FakeHttpServer::Response FakeGoogleDrive::statusQuery(const Request& request)
{
    Session* session = sessionOf(request);
    if (!session)
        return error(404, u"Not Found"_s);
    if (request.header("content-range") != "bytes */" + QByteArray::number(session->total) ||
        request.bodySize != 0)
        return refuse(400, u"status query not \"bytes */total\" with an empty body"_s);
    if (session->finished)
        return json(200, QJsonObject{{u"id"_s, session->fileID}, {u"name"_s, session->name}});
    return incomplete(*session);
}

} // namespace ebbcast::test
