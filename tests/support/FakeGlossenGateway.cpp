#include "support/FakeGlossenGateway.h"

#include "support/MultipartReader.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

constexpr qint64 heldDownloadBytes = 64 * 1024 * 1024;
constexpr qsizetype keptPartBytes = 256 * 1024;

QString text(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes);
}

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// RFC 3986 pchar, apart from percent escapes.
bool isPathCharacter(char c)
{
    static const QByteArray allowed = "-._~!$&'()*+,;=:@";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || allowed.contains(c);
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// One id from one path segment; a problem instead when the segment is not a well-formed, percent-encoded
// UTF-8 text, or is an id no client may send ("", ".", "..").
std::pair<QString, QString> decodeSegment(const QByteArray& segment)
{
    for (qsizetype i = 0; i < segment.size(); ++i) {
        const char c = segment[i];
        if (c == '%') {
            if (i + 2 >= segment.size() || !isHexDigit(segment[i + 1]) || !isHexDigit(segment[i + 2]))
                return {{}, u"a broken percent escape in the segment \"%1\""_s.arg(text(segment))};
            i += 2;
        } else if (!isPathCharacter(c)) {
            return {{},
                    u"a character that should be percent-encoded in the segment \"%1\""_s.arg(
                        QString::fromLatin1(segment))};
        }
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString id = decoder(QByteArray::fromPercentEncoding(segment));
    if (decoder.hasError())
        return {{}, u"the segment \"%1\" is not UTF-8 once decoded"_s.arg(text(segment))};
    if (id.isEmpty() || id == u"."_s || id == u".."_s)
        return {{}, u"an unusable id \"%1\""_s.arg(id)};
    return {id, {}};
}

QByteArray mediaTypeFor(const QByteArray& fileName)
{
    const QByteArray lower = fileName.toLower();
    if (lower.endsWith(".wav"))
        return "audio/wav";
    if (lower.endsWith(".m4a"))
        return "audio/mp4";
    return "application/octet-stream";
}

// The metadata members: their JSON kinds and whether they must be present.
enum class Kind { string, integer, number, date, timecode, trackKind };
struct Member {
    QLatin1StringView key;
    Kind kind;
    bool required;
};

constexpr Member metadataMembers[] = {
    {"recorder_id"_L1, Kind::string, true},
    {"recorder_name"_L1, Kind::string, true},
    {"session_id"_L1, Kind::string, true},
    {"recording_name"_L1, Kind::string, true},
    {"thread_key"_L1, Kind::string, true},
    {"chunk_index"_L1, Kind::integer, true},
    {"chunk_kind"_L1, Kind::trackKind, true},
    {"session_start_time"_L1, Kind::date, false},
    {"chunk_start_time"_L1, Kind::date, true},
    {"chunk_end_time"_L1, Kind::date, true},
    {"chunk_duration"_L1, Kind::number, true},
    {"chunk_start_offset_seconds"_L1, Kind::number, false},
    {"chunk_end_offset_seconds"_L1, Kind::number, false},
    {"chunk_timecode_start"_L1, Kind::timecode, false},
    {"chunk_timecode_end"_L1, Kind::timecode, false},
    {"server_chunk_start_time"_L1, Kind::date, false},
    {"server_chunk_end_time"_L1, Kind::date, false},
    {"clock_offset_ms"_L1, Kind::number, false},
    {"clock_round_trip_ms"_L1, Kind::number, false},
    {"clock_sync_status"_L1, Kind::string, false},
    {"local_file_name"_L1, Kind::string, true},
    {"drive_file_id"_L1, Kind::string, false},
    {"drive_url"_L1, Kind::string, false},
    {"folder_url"_L1, Kind::string, false},
};

// The members of a JSON object that QJsonDocument accepted, each with its value's text as written, in order
// and duplicates included (which QJsonDocument hides, as it hides whether 3.0 was written as 3).
QList<std::pair<QString, QByteArray>> writtenMembers(const QByteArray& json)
{
    QList<std::pair<QString, QByteArray>> members;
    qsizetype i = json.indexOf('{') + 1;
    const auto skipSpace = [&] {
        while (i < json.size() && (json[i] == ' ' || json[i] == '\t' || json[i] == '\r' || json[i] == '\n'))
            ++i;
    };
    const auto skipString = [&] { // from the opening quote to after the closing one
        for (++i; i < json.size() && json[i] != '"'; ++i) {
            if (json[i] == '\\')
                ++i;
        }
        ++i;
    };
    for (;;) {
        skipSpace();
        if (i >= json.size() || json[i] != '"')
            break;
        const qsizetype keyStart = i;
        skipString();
        const QByteArray keyJson = "[" + json.mid(keyStart, i - keyStart) + "]";
        const QString key = QJsonDocument::fromJson(keyJson).array().at(0).toString();
        skipSpace();
        ++i; // the colon
        skipSpace();
        const qsizetype valueStart = i;
        int depth = 0;
        while (i < json.size()) {
            const char c = json[i];
            if (c == '"') {
                skipString();
                continue;
            }
            if ((c == '}' || c == ']' || c == ',') && depth == 0)
                break;
            if (c == '{' || c == '[')
                ++depth;
            else if (c == '}' || c == ']')
                --depth;
            ++i;
        }
        members.append({key, json.mid(valueStart, i - valueStart).trimmed()});
        if (i >= json.size() || json[i] != ',')
            break;
        ++i;
    }
    return members;
}

// What is wrong with one member's value (`written` is its text), or nothing.
QString valueProblem(const Member& member, const QJsonValue& value, const QByteArray& written)
{
    static const QRegularExpression date(u"^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$"_s);
    static const QRegularExpression timecode(u"^\\d{2,}:[0-5]\\d:[0-5]\\d\\.\\d{3}$"_s);
    const QString key = member.key;
    if (value.isNull())
        return u"metadata member \"%1\" is null"_s.arg(key);
    switch (member.kind) {
    case Kind::string:
    case Kind::date:
    case Kind::timecode:
    case Kind::trackKind:
        if (!value.isString())
            return u"metadata member \"%1\" is not a string"_s.arg(key);
        break;
    case Kind::integer: {
        static const QRegularExpression integer(u"^-?(0|[1-9][0-9]{0,17})$"_s);
        if (!value.isDouble() || !integer.match(QString::fromLatin1(written)).hasMatch())
            return u"metadata member \"%1\" is not an integer"_s.arg(key);
        if (value.toInteger() < 0)
            return u"metadata member \"%1\" is negative"_s.arg(key);
        return {};
    }
    case Kind::number:
        if (!value.isDouble())
            return u"metadata member \"%1\" is not a number"_s.arg(key);
        return {};
    }
    const QString string = value.toString();
    if (member.kind == Kind::date &&
        (!date.match(string).hasMatch() || !QDateTime::fromString(string, Qt::ISODate).isValid()))
        return u"metadata member \"%1\" is not a date \"YYYY-MM-DDTHH:MM:SSZ\": \"%2\""_s.arg(key, string);
    if (member.kind == Kind::timecode && !timecode.match(string).hasMatch())
        return u"metadata member \"%1\" is not a timecode \"HH:MM:SS.mmm\": \"%2\""_s.arg(key, string);
    if (member.kind == Kind::trackKind && string != u"microphone"_s && string != u"system_audio"_s)
        return u"metadata member \"%1\" is not \"microphone\" or \"system_audio\": \"%2\""_s.arg(key, string);
    return {};
}

QStringList metadataProblems(const QByteArray& json, const QJsonObject& metadata, const QString& sessionId)
{
    QStringList problems;
    QStringList seen;
    for (const auto& [key, written] : writtenMembers(json)) {
        if (seen.contains(key)) {
            problems.append(u"metadata member \"%1\" appears twice"_s.arg(key));
            continue;
        }
        seen.append(key);
        const auto member = std::find_if(std::begin(metadataMembers), std::end(metadataMembers),
                                         [&](const Member& known) { return key == known.key; });
        if (member == std::end(metadataMembers)) {
            problems.append(u"unknown metadata member \"%1\""_s.arg(key));
            continue;
        }
        const QString problem = valueProblem(*member, metadata.value(key), written);
        if (!problem.isEmpty())
            problems.append(problem);
    }
    for (const Member& member : metadataMembers) {
        if (member.required && !metadata.contains(member.key))
            problems.append(u"metadata member \"%1\" is missing"_s.arg(QString(member.key)));
    }
    const QJsonValue session = metadata.value("session_id"_L1);
    if (session.isString() && session.toString() != sessionId)
        problems.append(
            u"metadata \"session_id\" \"%1\" is not the path's \"%2\""_s.arg(session.toString(), sessionId));
    return problems;
}

QString headersText(const QList<std::pair<QByteArray, QByteArray>>& headers)
{
    QStringList lines;
    for (const auto& [name, value] : headers)
        lines.append(text(name + ": " + value));
    return lines.join(u" | "_s);
}

// Edits the member at `path` (object keys and array indexes) inside `value`: `change` gives its new value, or
// nothing to remove it. `found` tells whether the member was there.
template <typename Change>
QJsonValue edited(const QJsonValue& value, QStringList path, const Change& change, bool& found)
{
    if (path.isEmpty())
        return value;
    const QString step = path.takeFirst();
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        if (!object.contains(step))
            return value;
        if (path.isEmpty()) {
            found = true;
            const std::optional<QJsonValue> replacement = change(object.value(step));
            if (replacement)
                object.insert(step, *replacement);
            else
                object.remove(step);
        } else {
            object.insert(step, edited(object.value(step), path, change, found));
        }
        return object;
    }
    bool isIndex = false;
    const qsizetype index = step.toLongLong(&isIndex);
    if (value.isArray() && isIndex && index >= 0 && index < value.toArray().size()) {
        QJsonArray array = value.toArray();
        if (path.isEmpty()) {
            found = true;
            const std::optional<QJsonValue> replacement = change(array.at(index));
            if (replacement)
                array.replace(index, *replacement);
            else
                array.removeAt(index);
        } else {
            array.replace(index, edited(array.at(index), path, change, found));
        }
        return array;
    }
    return value;
}

QJsonValue mistyped(const QJsonValue& value)
{
    if (value.isString())
        return 42;
    if (value.isDouble())
        return QString::fromUtf8(
            QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).chopped(1).mid(1));
    if (value.isArray())
        return QJsonObject{};
    if (value.isObject())
        return QJsonArray{};
    return u"x"_s;
}

QString faultName(const FakeHttpServer::Fault& fault)
{
    using K = FakeHttpServer::Fault::Kind;
    switch (fault.kind) {
    case K::status:
        return u"status %1"_s.arg(fault.status);
    case K::hang:
        return u"hang"_s;
    case K::resetBeforeAnswer:
        return u"reset before answer"_s;
    case K::resetInBody:
        return u"reset in body after %1 bytes"_s.arg(fault.bytes);
    case K::trickle:
        return u"trickle"_s;
    case K::malformed:
        return u"malformed framing"_s;
    case K::oversized:
        return u"oversized body of %1 bytes"_s.arg(fault.bytes);
    }
    return {};
}

QString corruptionName(const FakeGlossenGateway::Corruption& corruption)
{
    using K = FakeGlossenGateway::Corruption::Kind;
    switch (corruption.kind) {
    case K::malformedJson:
        return u"malformed JSON"_s;
    case K::missingMember:
        return u"member missing"_s;
    case K::mistypedMember:
        return u"member mistyped"_s;
    case K::hugeBody:
        return u"huge body"_s;
    case K::redirect:
        return u"redirect"_s;
    case K::otherJobId:
        return u"another job's id"_s;
    }
    return {};
}

QByteArray generated(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

} // namespace

FakeGlossenGateway::FakeGlossenGateway(FakeHttpServer& server, Config config)
    : server_(server)
    , config_(std::move(config))
{
    for (QByteArray& name : config_.allowedHeaders)
        name = name.toLower();
    server_.setModel(*this);
}

FakeGlossenGateway::~FakeGlossenGateway()
{
    server_.setHandler({});
}

QUrl FakeGlossenGateway::baseUrl() const
{
    return server_.url(config_.prefix.isEmpty() ? u"/"_s : config_.prefix);
}

QString FakeGlossenGateway::routeName(Route route)
{
    switch (route) {
    case Route::upload:
        return u"upload"_s;
    case Route::job:
        return u"job"_s;
    case Route::artifacts:
        return u"artifacts"_s;
    case Route::download:
        return u"download"_s;
    }
    return {};
}

QJsonObject FakeGlossenGateway::toJson(const Exchange& exchange)
{
    QJsonObject line{
        {u"method"_s, text(exchange.method)},
        {u"path"_s, text(exchange.path)},
        {u"route"_s, exchange.route ? QJsonValue(routeName(*exchange.route)) : QJsonValue()},
        {u"ids"_s, QJsonArray::fromStringList(exchange.ids)},
        {u"status"_s, exchange.status},
        {u"trouble"_s, exchange.trouble},
        {u"violations"_s, QJsonArray::fromStringList(exchange.violations)},
        {u"body_size"_s, exchange.bodySize},
    };
    if (exchange.upload) {
        const Upload& upload = *exchange.upload;
        line.insert(u"upload"_s, QJsonObject{
                                     {u"session_id"_s, upload.sessionId},
                                     {u"boundary"_s, text(upload.boundary)},
                                     {u"metadata"_s, upload.metadata},
                                     {u"file_name"_s, text(upload.fileName)},
                                     {u"media_type"_s, text(upload.mediaType)},
                                     {u"file_size"_s, upload.fileSize},
                                     {u"file_sha256"_s, text(upload.fileSha256)},
                                     {u"job_id"_s, upload.jobId},
                                 });
    }
    return line;
}

void FakeGlossenGateway::addFault(const Rule& rule, const Fault& fault)
{
    rules_.append({rule, fault, std::nullopt});
}

void FakeGlossenGateway::addCorruption(const Rule& rule, const Corruption& corruption)
{
    rules_.append({rule, std::nullopt, corruption});
}

QList<FakeGlossenGateway::Upload> FakeGlossenGateway::uploads() const
{
    QList<Upload> all;
    for (const Exchange& exchange : exchanges_) {
        if (exchange.upload)
            all.append(*exchange.upload);
    }
    return all;
}

QStringList FakeGlossenGateway::jobIds() const
{
    QStringList ids;
    for (const Job& job : jobs_)
        ids.append(job.id);
    return ids;
}

int FakeGlossenGateway::polls(const QString& jobId) const
{
    int count = 0;
    for (const Job& job : jobs_) {
        if (job.id == jobId)
            count = job.polls;
    }
    return count;
}

std::shared_ptr<FakeHttpServer::BodySink> FakeGlossenGateway::bodySink(const Request& request)
{
    if (request.method != "POST")
        return nullptr;
    const std::optional<QByteArray> boundary = boundaryOf(request.header("content-type"));
    if (!boundary)
        return nullptr;
    return std::make_shared<MultipartReader>(*boundary, keptPartBytes);
}

// The boundary of a "multipart/form-data; boundary=..." type, whatever its form; nothing for another type.
std::optional<QByteArray> FakeGlossenGateway::boundaryOf(const QByteArray& contentType) const
{
    static const QByteArray prefix = "multipart/form-data; boundary=";
    if (!contentType.startsWith(prefix))
        return std::nullopt;
    QByteArray boundary = contentType.mid(prefix.size());
    if (config_.anyBoundary && boundary.size() >= 2 && boundary.startsWith('"') && boundary.endsWith('"'))
        boundary = boundary.mid(1, boundary.size() - 2);
    if (boundary.isEmpty() || boundary.contains(';') || boundary.contains(' ') || boundary.contains('"'))
        return std::nullopt;
    return boundary;
}

FakeGlossenGateway::Response FakeGlossenGateway::answer(const Request& request)
{
    Exchange exchange;
    exchange.index = server_.requests().size() - 1;
    exchange.method = request.method;
    exchange.path = request.path;
    exchange.bodySize = request.bodySize;

    std::optional<ArmedRule> due;
    Response response = route(exchange, request, due);
    exchange.status = response.status;
    if (due && due->fault) {
        exchange.trouble = faultName(*due->fault);
        response.fault = due->fault;
    } else if (due && due->corruption) {
        response = corrupt(response, *due->corruption, *exchange.route,
                           exchange.ids.value(exchange.route == Route::upload ? -1 : 0,
                                              exchange.upload ? exchange.upload->jobId : QString()));
        exchange.trouble = corruptionName(*due->corruption);
        if (response.fault)
            exchange.trouble += u", "_s + faultName(*response.fault);
        exchange.status = response.status;
    }
    if (exchange.upload && !exchange.upload->boundary.isEmpty() && exchange.trouble.isEmpty())
        boundaries_.append(exchange.upload->boundary);

    for (const QString& violation : std::as_const(exchange.violations))
        server_.flag(u"%1 %2: %3"_s.arg(text(request.method), text(request.path), violation));
    exchanges_.append(exchange);
    if (observer_)
        observer_(exchange);
    return response;
}

FakeGlossenGateway::Response FakeGlossenGateway::route(Exchange& exchange, const Request& request,
                                                       std::optional<ArmedRule>& due)
{
    const QByteArray prefix = config_.prefix.toUtf8() + "/v1/";
    const auto unknown = [&](const QString& problem) {
        exchange.violations.append(problem);
        return Response{404, "not found", "text/plain; charset=utf-8"};
    };
    if (!request.path.startsWith(prefix))
        return unknown(u"no such route"_s);
    const QList<QByteArray> segments = request.path.mid(prefix.size() - 3).split('/');
    QList<QByteArray> idSegments;
    const qsizetype n = segments.size();
    const auto is = [&](qsizetype i, const char* word) {
        return segments[i] == word;
    };
    Route route = Route::upload;
    QByteArray method = "GET";
    if (n == 5 && is(1, "ebbcast") && is(2, "sessions") && is(4, "chunks")) {
        route = Route::upload;
        method = "POST";
        idSegments = {segments[3]};
    } else if (n == 3 && is(1, "jobs")) {
        route = Route::job;
        idSegments = {segments[2]};
    } else if (n == 4 && is(1, "jobs") && is(3, "artifacts")) {
        route = Route::artifacts;
        idSegments = {segments[2]};
    } else if (n == 6 && is(1, "jobs") && is(3, "artifacts") && is(5, "download")) {
        route = Route::download;
        idSegments = {segments[2], segments[4]};
    } else {
        return unknown(u"no such route"_s);
    }
    if (request.method != method)
        return unknown(u"%1 on the %2 route"_s.arg(text(request.method), routeName(route)));
    for (const QByteArray& segment : std::as_const(idSegments)) {
        const auto [id, problem] = decodeSegment(segment);
        if (!problem.isEmpty())
            return unknown(problem);
        exchange.ids.append(id);
    }
    exchange.route = route;
    due = dueRule(route);
    if (!request.query.isEmpty() || request.target.contains('?'))
        exchange.violations.append(u"a query \"%1\""_s.arg(text(request.query)));

    const QByteArray authorization = request.header("authorization");
    if (authorization != "Bearer " + config_.token.toUtf8()) {
        exchange.violations.append(authorization.isEmpty()
                                       ? u"no Authorization header"_s
                                       : u"Authorization is not \"Bearer \" and the token"_s);
        return {401, "invalid token", "text/plain; charset=utf-8"};
    }
    checkHeaders(exchange, request);

    const bool effects =
        !due || !due->fault || due->fault->handlerRuns ||
        (due->fault->kind != Fault::Kind::status && due->fault->kind != Fault::Kind::resetBeforeAnswer);
    if (route == Route::upload)
        return upload(exchange, request, effects);
    if (!exchange.violations.isEmpty())
        return {400, "bad request", "text/plain; charset=utf-8"};

    Job* found = job(exchange.ids[0]);
    if (!found)
        return unknown(u"no job \"%1\""_s.arg(exchange.ids[0]));
    switch (route) {
    case Route::upload:
        break;
    case Route::job: {
        Response state = jobState(*found);
        if (effects)
            ++found->polls;
        return state;
    }
    case Route::artifacts:
        return artifacts(*found);
    case Route::download:
        return download(exchange, *found, idSegments[1]);
    }
    return unknown(u"no such route"_s);
}

void FakeGlossenGateway::checkHeaders(Exchange& exchange, const Request& request) const
{
    static const QList<QByteArray> common{
        "host", "connection", "user-agent", "accept", "accept-encoding", "accept-language", "authorization"};
    static const QList<QByteArray> ofUploads{"content-type", "content-length", "expect"};
    const bool isUpload = exchange.route == Route::upload;
    for (auto it = request.headers.begin(); it != request.headers.end(); ++it) {
        if (!common.contains(it.key()) && !(isUpload && ofUploads.contains(it.key())) &&
            !config_.allowedHeaders.contains(it.key()))
            exchange.violations.append(u"header %1"_s.arg(text(it.key())));
    }
    if (isUpload) {
        if (!request.headers.contains("content-length"))
            exchange.violations.append(u"an upload without Content-Length"_s);
    } else if (request.bodySize > 0) {
        exchange.violations.append(u"a GET with a body"_s);
    }
}

FakeGlossenGateway::Response FakeGlossenGateway::upload(Exchange& exchange, const Request& request,
                                                        bool effects)
{
    Upload upload;
    upload.sessionId = exchange.ids[0];
    QStringList& problems = exchange.violations;
    const QByteArray contentType = request.header("content-type");
    static const QRegularExpression uuidBoundary(
        u"^Boundary-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$"_s);
    auto* reader = dynamic_cast<MultipartReader*>(request.bodySink.get());
    if (!reader) {
        problems.append(
            u"Content-Type \"%1\" is not \"multipart/form-data; boundary=...\""_s.arg(text(contentType)));
    } else {
        upload.boundary = reader->boundary();
        if (!config_.anyBoundary && !uuidBoundary.match(text(upload.boundary)).hasMatch())
            problems.append(u"the boundary \"%1\" is not \"Boundary-\" and an upper-case random UUID"_s.arg(
                text(upload.boundary)));
        if (boundaries_.contains(upload.boundary))
            problems.append(u"the boundary \"%1\" was used before"_s.arg(text(upload.boundary)));
        problems += reader->problems();

        const QList<MultipartReader::Part>& parts = reader->parts();
        if (parts.size() != 2)
            problems.append(u"%1 parts, not 2"_s.arg(parts.size()));
        if (!parts.isEmpty()) {
            const MultipartReader::Part& metadata = parts[0];
            const QList<std::pair<QByteArray, QByteArray>> expected{
                {"Content-Disposition", "form-data; name=\"metadata\""},
                {"Content-Type", "application/json"}};
            if (metadata.headers != expected)
                problems.append(u"the first part's headers are not those of the metadata: %1"_s.arg(
                    headersText(metadata.headers)));
            upload.metadataJson = metadata.head;
            if (metadata.size > metadata.head.size()) {
                problems.append(u"metadata of %1 bytes"_s.arg(metadata.size));
            } else {
                QJsonParseError error;
                const QJsonDocument document = QJsonDocument::fromJson(metadata.head, &error);
                if (error.error != QJsonParseError::NoError || !document.isObject()) {
                    problems.append(u"the metadata is not a JSON object: %1"_s.arg(error.errorString()));
                } else {
                    upload.metadata = document.object();
                    problems += metadataProblems(metadata.head, upload.metadata, upload.sessionId);
                }
            }
        }
        if (parts.size() >= 2) {
            const MultipartReader::Part& file = parts[1];
            static const QRegularExpression disposition(
                u"^form-data; name=\"file\"; filename=\"([^\"]*)\"$"_s);
            const QList<std::pair<QByteArray, QByteArray>>& headers = file.headers;
            const QRegularExpressionMatch match =
                headers.size() == 2 && headers[0].first == "Content-Disposition"
                    ? disposition.match(text(headers[0].second))
                    : QRegularExpressionMatch();
            if (!match.hasMatch() || headers[1].first != "Content-Type") {
                problems.append(
                    u"the second part's headers are not those of the file: %1"_s.arg(headersText(headers)));
            } else {
                upload.fileName = match.captured(1).toUtf8();
                upload.mediaType = headers[1].second;
                if (upload.fileName.isEmpty())
                    problems.append(u"an empty filename"_s);
                if (upload.fileName.contains('\\'))
                    problems.append(u"a backslash in the filename"_s);
                if (upload.mediaType != mediaTypeFor(upload.fileName))
                    problems.append(u"the media type \"%1\" of \"%2\" is not \"%3\""_s.arg(
                        text(upload.mediaType), text(upload.fileName), text(mediaTypeFor(upload.fileName))));
            }
            upload.fileSize = file.size;
            upload.fileSha256 = file.sha256;
            upload.fileHead = file.head;
        }
    }

    if (!problems.isEmpty()) {
        exchange.upload = upload;
        return {400, "bad upload: " + problems.join(u"; "_s).toUtf8(), "text/plain; charset=utf-8"};
    }
    const int number = uploadsAccepted_ + 1;
    JobScript script = scripts_.isEmpty() ? defaultScript_ : scripts_.first();
    const QString jobId = script.id.value_or(u"job-%1"_s.arg(jobs_.size() + 1));
    if (effects) {
        ++uploadsAccepted_;
        if (!scripts_.isEmpty())
            scripts_.removeFirst();
        jobs_.append({jobId, script, 0});
        upload.jobId = jobId;
    }
    exchange.upload = upload;
    QJsonObject reply{
        {u"gateway_job_id"_s, jobId},
        {u"ebbcast_chunk_id"_s, script.chunkId.value_or(u"chunk-%1"_s.arg(number))},
        {u"status_url"_s, server_.url(config_.prefix + u"/v1/jobs/"_s + text(QUrl::toPercentEncoding(jobId)))
                              .toString(QUrl::FullyEncoded)},
    };
    if (script.collectionId)
        reply.insert(u"collection_id"_s, *script.collectionId);
    return {200, json(reply)};
}

FakeGlossenGateway::Response FakeGlossenGateway::jobState(const Job& job)
{
    const QStringList& states = job.script.states;
    const qsizetype last = std::max<qsizetype>(0, states.size() - 1);
    const qsizetype step = std::min<qsizetype>(job.polls, last);
    QJsonObject state{{u"id"_s, job.id}, {u"state"_s, states.value(step)}};
    if (job.script.glossenJobId)
        state.insert(u"glossen_job_id"_s, *job.script.glossenJobId);
    if (job.script.completedAt && step == last)
        state.insert(u"completed_at"_s, *job.script.completedAt);
    return {200, json({{u"job"_s, state}})};
}

FakeGlossenGateway::Response FakeGlossenGateway::artifacts(const Job& job) const
{
    QJsonArray list;
    for (const Artifact& artifact : job.script.artifacts) {
        QJsonObject entry{{u"id"_s, artifact.id}};
        if (artifact.type)
            entry.insert(u"artifact_type"_s, *artifact.type);
        if (artifact.checksum)
            entry.insert(u"checksum"_s, *artifact.checksum);
        if (artifact.sizeBytes)
            entry.insert(u"size_bytes"_s, *artifact.sizeBytes);
        list.append(entry);
    }
    return {200, json({{u"gateway_job_id"_s, job.id}, {u"artifacts"_s, list}})};
}

FakeGlossenGateway::Response FakeGlossenGateway::download(Exchange& exchange, const Job& job,
                                                          const QByteArray& artifactSegment) const
{
    static const QRegularExpression decimal(u"^(0|-?[1-9][0-9]{0,18})$"_s);
    bool isNumber = false;
    const qint64 id = artifactSegment.toLongLong(&isNumber);
    if (!decimal.match(text(artifactSegment)).hasMatch() || !isNumber) {
        exchange.violations.append(
            u"the artifact id \"%1\" is not a decimal integer"_s.arg(text(artifactSegment)));
        return {404, "not found", "text/plain; charset=utf-8"};
    }
    const auto& list = job.script.artifacts;
    const auto artifact = std::find_if(list.begin(), list.end(),
                                       [id](const Artifact& candidate) { return candidate.id == id; });
    if (artifact == list.end()) {
        exchange.violations.append(u"no artifact %1 in job \"%2\""_s.arg(id).arg(job.id));
        return {404, "not found", "text/plain; charset=utf-8"};
    }
    if (artifact->generatedBytes > heldDownloadBytes)
        return {200, {}, "application/octet-stream", {}, Fault::oversized(artifact->generatedBytes)};
    return {200, artifact->generatedBytes >= 0 ? generated(artifact->generatedBytes) : artifact->content,
            "application/octet-stream"};
}

FakeGlossenGateway::Job* FakeGlossenGateway::job(const QString& id)
{
    for (qsizetype i = jobs_.size() - 1; i >= 0; --i) {
        if (jobs_[i].id == id)
            return &jobs_[i];
    }
    return nullptr;
}

std::optional<FakeGlossenGateway::ArmedRule> FakeGlossenGateway::dueRule(Route route)
{
    std::optional<ArmedRule> chosen;
    for (ArmedRule& armed : rules_) {
        if (armed.rule.route != route)
            continue;
        ++armed.seen;
        if (!chosen && !armed.spent && armed.seen >= armed.rule.request) {
            chosen = armed;
            armed.spent = !armed.rule.sticky;
        }
    }
    return chosen;
}

FakeGlossenGateway::Response FakeGlossenGateway::corrupt(const Response& response,
                                                         const Corruption& corruption, Route route,
                                                         const QString& jobId) const
{
    using K = Corruption::Kind;
    Response corrupted = response;
    if (corruption.kind == K::malformedJson) {
        corrupted.body.chop(1);
        return corrupted;
    }
    if (corruption.kind == K::hugeBody) {
        corrupted.status = 200;
        corrupted.fault = Fault::oversized(corruption.bytes);
        return corrupted;
    }
    if (corruption.kind == K::redirect)
        return {302, {}, {}, {{"Location", corruption.location}}};

    const QJsonDocument document = QJsonDocument::fromJson(response.body);
    if (route == Route::download || !document.isObject())
        return corrupted;
    QString member = corruption.member;
    if (corruption.kind == K::otherJobId)
        member = route == Route::job ? u"job.id"_s : u"gateway_job_id"_s;
    else if (member.isEmpty())
        member = route == Route::upload ? u"gateway_job_id"_s
                 : route == Route::job  ? u"job.state"_s
                                        : u"artifacts.0.id"_s;
    QString other = corruption.otherJobId;
    for (const Job& candidate : jobs_) {
        if (other.isEmpty() && candidate.id != jobId)
            other = candidate.id;
    }
    if (other.isEmpty())
        other = u"other-job"_s;
    bool found = false;
    const QJsonValue result = edited(
        document.object(), member.split(u'.'),
        [&](const QJsonValue& value) -> std::optional<QJsonValue> {
            if (corruption.kind == K::missingMember)
                return std::nullopt;
            if (corruption.kind == K::mistypedMember)
                return mistyped(value);
            return other;
        },
        found);
    corrupted.body = json(result.toObject());
    return corrupted;
}

} // namespace ebbcast::test
