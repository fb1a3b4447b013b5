#include "support/FakeRelayServer.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

enum class Type { string, integer, number, date };

struct Member {
    const char* key;
    Type type;
    bool required;
};

// The relay's members in their declared order.
const QList<Member>& declaredMembers()
{
    static const QList<Member> members = {
        {"event", Type::string, true},
        {"kind", Type::string, true},
        {"source", Type::string, true},
        {"track", Type::string, false},
        {"notes", Type::string, true},
        {"recorder_id", Type::string, true},
        {"recorder_name", Type::string, true},
        {"recording_name", Type::string, true},
        {"session_id", Type::string, true},
        {"thread_key", Type::string, true},
        {"collection_id", Type::string, false},
        {"thread_intent", Type::string, true},
        {"thread_ts", Type::string, false},
        {"parent_thread_ts", Type::string, false},
        {"idempotency_key", Type::string, true},
        {"chunk_index", Type::integer, false},
        {"chunk_kind", Type::string, false},
        {"chunk_start_time", Type::date, false},
        {"chunk_end_time", Type::date, false},
        {"chunk_duration", Type::number, false},
        {"server_chunk_start_time", Type::date, false},
        {"server_chunk_end_time", Type::date, false},
        {"clock_offset_ms", Type::number, false},
        {"clock_round_trip_ms", Type::number, false},
        {"clock_sync_status", Type::string, false},
        {"gateway_job_id", Type::string, false},
        {"glossen_job_id", Type::string, false},
        {"ebbcast_chunk_id", Type::string, false},
        {"transcript_artifact_id", Type::integer, false},
        {"transcript_preview", Type::string, false},
        {"transcript_file_name", Type::string, false},
        {"transcript_drive_url", Type::string, false},
        {"file_name", Type::string, false},
        {"drive_url", Type::string, false},
        {"folder_url", Type::string, false},
    };
    return members;
}

bool hasType(const QJsonValue& value, const QByteArray& raw, Type type)
{
    switch (type) {
    case Type::string:
        return value.isString();
    case Type::integer:
        return value.isDouble() && !raw.contains('.') && !raw.contains('e') && !raw.contains('E');
    case Type::number:
        return value.isDouble();
    case Type::date: {
        static const QRegularExpression utcSeconds(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"_s);
        return value.isString() && utcSeconds.match(value.toString()).hasMatch() &&
               QDateTime::fromString(value.toString(), Qt::ISODate).isValid();
    }
    }
    return false;
}

const QString sessionStarted = u"recording.session.started"_s;

bool isChunkEvent(const QString& event)
{
    return event == u"recording.chunk.ready"_s || event == u"recording.chunk.transcribed"_s;
}

} // namespace

FakeRelayServer::FakeRelayServer(QString token, QByteArray path)
    : token_(std::move(token))
    , path_(std::move(path))
{}

std::optional<QList<std::pair<QString, QByteArray>>> FakeRelayServer::flatMembers(const QByteArray& body)
{
    QList<std::pair<QString, QByteArray>> members;
    qsizetype at = 0;
    const auto skipSpace = [&] {
        while (at < body.size() &&
               (body[at] == ' ' || body[at] == '\n' || body[at] == '\r' || body[at] == '\t'))
            ++at;
    };
    // The end of the string starting at `at` (a quote), just after its closing quote.
    const auto stringEnd = [&](qsizetype from) -> qsizetype {
        for (qsizetype i = from + 1; i < body.size(); ++i) {
            if (body[i] == '\\')
                ++i;
            else if (body[i] == '"')
                return i + 1;
        }
        return -1;
    };
    skipSpace();
    if (at >= body.size() || body[at] != '{')
        return std::nullopt;
    ++at;
    skipSpace();
    if (at < body.size() && body[at] == '}')
        return members;
    while (at < body.size()) {
        skipSpace();
        if (at >= body.size() || body[at] != '"')
            return std::nullopt;
        const qsizetype keyEnd = stringEnd(at);
        if (keyEnd < 0)
            return std::nullopt;
        const QJsonDocument key = QJsonDocument::fromJson("[" + body.mid(at, keyEnd - at) + "]");
        if (!key.isArray())
            return std::nullopt;
        at = keyEnd;
        skipSpace();
        if (at >= body.size() || body[at] != ':')
            return std::nullopt;
        ++at;
        skipSpace();
        const qsizetype valueStart = at;
        if (at < body.size() && body[at] == '"') {
            at = stringEnd(at);
            if (at < 0)
                return std::nullopt;
        } else {
            while (at < body.size() && body[at] != ',' && body[at] != '}')
                ++at;
        }
        members.append({key.array().at(0).toString(), body.mid(valueStart, at - valueStart).trimmed()});
        skipSpace();
        if (at >= body.size())
            return std::nullopt;
        if (body[at] == '}') {
            ++at;
            skipSpace();
            return at == body.size() ? std::optional(members) : std::nullopt;
        }
        if (body[at] != ',')
            return std::nullopt;
        ++at;
    }
    return std::nullopt;
}

std::optional<QString> FakeRelayServer::check(const FakeHttpServer::Request& request) const
{
    if (request.method != "POST")
        return u"method "_s + QString::fromLatin1(request.method);
    if (request.path != path_ || !request.query.isEmpty() || request.target != path_)
        return u"target "_s + QString::fromLatin1(request.target);
    if (request.header("authorization") != "Bearer " + token_.toUtf8())
        return u"Authorization header is not the bearer token"_s;
    if (request.header("content-type") != "application/json")
        return u"Content-Type "_s + QString::fromLatin1(request.header("content-type"));
    if (request.body.contains("\\/"))
        return u"body escapes \"/\""_s;
    const auto members = flatMembers(request.body);
    const QJsonDocument document = QJsonDocument::fromJson(request.body);
    if (!members || !document.isObject())
        return u"body is not one flat JSON object"_s;
    const QJsonObject object = document.object();
    if (object.size() != members->size())
        return u"a member is repeated"_s;
    const QList<Member>& declared = declaredMembers();
    qsizetype previous = -1;
    for (const auto& [key, raw] : *members) {
        qsizetype index = -1;
        for (qsizetype i = 0; i < declared.size(); ++i) {
            if (key == QLatin1StringView(declared[i].key))
                index = i;
        }
        if (index < 0)
            return u"undeclared member "_s + key;
        if (index <= previous)
            return u"member out of order: "_s + key;
        previous = index;
        if (!hasType(object.value(key), raw, declared[index].type))
            return u"member of the wrong type (or null): "_s + key;
    }
    for (const Member& member : declared) {
        if (member.required && !object.contains(QLatin1StringView(member.key)))
            return u"required member missing: "_s + QLatin1StringView(member.key);
    }
    const QString event = object.value(u"event"_s).toString();
    if (object.value(u"kind"_s).toString() != event)
        return u"kind differs from event"_s;
    const QString threadKey = object.value(u"thread_key"_s).toString();
    if (!threadKey.startsWith(u"ebbcast:"_s) ||
        !threadKey.endsWith(u':' + object.value(u"session_id"_s).toString()))
        return u"thread key "_s + threadKey;
    QString key = threadKey + u':' + event;
    if (isChunkEvent(event)) {
        if (!object.contains(u"chunk_kind"_s) || !object.contains(u"chunk_index"_s))
            return u"chunk event without its chunk"_s;
        key += u':' + object.value(u"chunk_kind"_s).toString() + u':' +
               QString::number(object.value(u"chunk_index"_s).toInteger());
    }
    if (object.value(u"idempotency_key"_s).toString() != key)
        return u"idempotency key "_s + object.value(u"idempotency_key"_s).toString();
    const bool parent = event == sessionStarted;
    if (parent) {
        if (object.contains(u"thread_ts"_s) || object.contains(u"parent_thread_ts"_s))
            return u"parent carries a thread identifier"_s;
        return std::nullopt;
    }
    const Thread* known = thread(threadKey);
    const QString ts = object.value(u"thread_ts"_s).toString();
    if (!known || ts != known->ts || object.value(u"parent_thread_ts"_s).toString() != ts)
        return u"reply to a thread this relay did not issue: "_s + ts;
    return std::nullopt;
}

FakeHttpServer::Response FakeRelayServer::refuse(const QString& violation)
{
    violations_.append(violation);
    return FakeHttpServer::Response{.status = 400, .body = R"({"error":"bad request"})"};
}

FakeHttpServer::Response FakeRelayServer::answer(const FakeHttpServer::Request& request)
{
    if (const auto violation = check(request))
        return refuse(*violation);
    if (hook_)
        hook_(request, Stage::arrived);
    const QJsonObject object = QJsonDocument::fromJson(request.body).object();
    const QString key = object.value(u"idempotency_key"_s).toString();
    const QString event = object.value(u"event"_s).toString();
    const QString threadKey = object.value(u"thread_key"_s).toString();
    FakeHttpServer::Response response;
    if (deduplicate_ && answers_.contains(key)) {
        response.body = answers_.value(key);
    } else if (event == sessionStarted) {
        Thread* existing = nullptr;
        for (Thread& thread : threads_) {
            if (thread.threadKey == threadKey)
                existing = &thread;
        }
        if (!existing) {
            threads_.append(Thread{threadKey, u"1712%1.000100"_s.arg(nextTs_++), {}});
            existing = &threads_.last();
        }
        existing->messages.append(Message{key, event, request.body});
        response.body = parentAnswer_.value_or(
            QJsonDocument(
                QJsonObject{{u"ok"_s, true}, {u"ts"_s, existing->ts}, {u"thread_ts"_s, existing->ts}})
                .toJson(QJsonDocument::Compact));
    } else {
        for (Thread& thread : threads_) {
            if (thread.threadKey == threadKey)
                thread.messages.append(Message{key, event, request.body});
        }
        response.body = QJsonDocument(QJsonObject{{u"ok"_s, true},
                                                  {u"ts"_s, u"1713%1.000200"_s.arg(nextTs_++)},
                                                  {u"thread_ts"_s, object.value(u"thread_ts"_s)}})
                            .toJson(QJsonDocument::Compact);
    }
    if (!answers_.contains(key))
        answers_.insert(key, response.body);
    if (hook_)
        hook_(request, Stage::processed);
    return response;
}

const FakeRelayServer::Thread* FakeRelayServer::thread(const QString& threadKey) const
{
    for (const Thread& thread : threads_) {
        if (thread.threadKey == threadKey)
            return &thread;
    }
    return nullptr;
}

int FakeRelayServer::messagesWithKey(const QString& key) const
{
    int count = 0;
    for (const Thread& thread : threads_) {
        for (const Message& message : thread.messages)
            count += message.idempotencyKey == key ? 1 : 0;
    }
    return count;
}

} // namespace ebbcast::test
