#include "support/GatewayScenario.h"

#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <stdexcept>

using namespace Qt::StringLiterals;

namespace ebbcast::test {
namespace {

[[noreturn]] void fail(const QString& where, const QString& what)
{
    throw std::runtime_error((u"scenario: %1: %2"_s.arg(where, what)).toStdString());
}

// One object of the scenario, read member by member; finish() refuses the members nobody asked for.
class Members {
public:
    Members(const QJsonValue& value, QString where)
        : where_(std::move(where))
    {
        if (!value.isObject())
            fail(where_, u"not an object"_s);
        object_ = value.toObject();
    }

    bool has(const QString& key)
    {
        read_.append(key);
        return object_.contains(key);
    }

    QString string(const QString& key, const QString& fallback = {})
    {
        if (!has(key))
            return fallback;
        const QJsonValue value = object_.value(key);
        if (!value.isString())
            fail(where_, u"\"%1\" is not a string"_s.arg(key));
        return value.toString();
    }

    std::optional<QString> optionalString(const QString& key)
    {
        if (!has(key))
            return std::nullopt;
        return string(key);
    }

    qint64 integer(const QString& key, qint64 fallback)
    {
        if (!has(key))
            return fallback;
        const QCborValue value = QCborValue::fromJsonValue(object_.value(key));
        if (!value.isInteger())
            fail(where_, u"\"%1\" is not an integer"_s.arg(key));
        return value.toInteger();
    }

    bool boolean(const QString& key)
    {
        if (!has(key))
            return false;
        if (!object_.value(key).isBool())
            fail(where_, u"\"%1\" is not true or false"_s.arg(key));
        return object_.value(key).toBool();
    }

    QJsonArray array(const QString& key)
    {
        if (!has(key))
            return {};
        if (!object_.value(key).isArray())
            fail(where_, u"\"%1\" is not an array"_s.arg(key));
        return object_.value(key).toArray();
    }

    QJsonValue value(const QString& key)
    {
        has(key);
        return object_.value(key);
    }

    void finish() const
    {
        for (const QString& key : object_.keys()) {
            if (!read_.contains(key))
                fail(where_, u"unknown member \"%1\""_s.arg(key));
        }
    }

    const QString& where() const { return where_; }

private:
    QString where_;
    QJsonObject object_;
    QStringList read_;
};

template <typename T>
T oneOf(const QString& where, const QString& name, std::initializer_list<std::pair<const char*, T>> choices)
{
    for (const auto& [word, value] : choices) {
        if (name == QLatin1StringView(word))
            return value;
    }
    fail(where, u"unknown \"%1\""_s.arg(name));
}

FakeGlossenGateway::JobScript readJob(const QJsonValue& json, const QString& where)
{
    Members members(json, where);
    FakeGlossenGateway::JobScript script;
    script.id = members.optionalString(u"id"_s);
    if (members.has(u"states"_s)) {
        script.states.clear();
        for (const QJsonValue state : members.array(u"states"_s)) {
            if (!state.isString())
                fail(where, u"a state that is not a string"_s);
            script.states.append(state.toString());
        }
        if (script.states.isEmpty())
            fail(where, u"no states"_s);
    }
    script.glossenJobId = members.optionalString(u"glossen_job_id"_s);
    script.completedAt = members.optionalString(u"completed_at"_s);
    script.collectionId = members.optionalString(u"collection_id"_s);
    script.chunkId = members.optionalString(u"chunk_id"_s);
    const QJsonArray artifacts = members.array(u"artifacts"_s);
    for (qsizetype i = 0; i < artifacts.size(); ++i) {
        Members entry(artifacts[i], u"%1.artifacts[%2]"_s.arg(where).arg(i));
        FakeGlossenGateway::Artifact artifact;
        if (!entry.has(u"id"_s))
            fail(entry.where(), u"no \"id\""_s);
        artifact.id = entry.integer(u"id"_s, 0);
        artifact.type = entry.optionalString(u"artifact_type"_s);
        artifact.checksum = entry.optionalString(u"checksum"_s);
        if (entry.has(u"size_bytes"_s))
            artifact.sizeBytes = entry.integer(u"size_bytes"_s, 0);
        artifact.content = entry.string(u"content"_s).toUtf8();
        artifact.generatedBytes = entry.integer(u"generated_bytes"_s, -1);
        entry.finish();
        script.artifacts.append(artifact);
    }
    members.finish();
    return script;
}

void readRule(const QJsonValue& json, const QString& where, FakeGlossenGateway& gateway)
{
    using Route = FakeGlossenGateway::Route;
    using Fault = FakeHttpServer::Fault;
    using M = Fault::Malformation;
    using C = FakeGlossenGateway::Corruption::Kind;
    Members members(json, where);
    FakeGlossenGateway::Rule rule;
    rule.route = oneOf<Route>(where, members.string(u"route"_s),
                              {{"upload", Route::upload},
                               {"job", Route::job},
                               {"artifacts", Route::artifacts},
                               {"download", Route::download}});
    rule.request = static_cast<int>(members.integer(u"request"_s, 1));
    rule.sticky = members.boolean(u"sticky"_s);
    const bool isFault = members.has(u"fault"_s);
    const bool isCorruption = members.has(u"corruption"_s);
    if (isFault == isCorruption)
        fail(where, u"not one of \"fault\" and \"corruption\""_s);

    if (isFault) {
        const QString kind = members.string(u"fault"_s);
        Fault fault;
        if (kind == u"status"_s) {
            fault = Fault::withStatus(static_cast<int>(members.integer(u"status"_s, 500)),
                                      members.string(u"body"_s).toUtf8());
        } else if (kind == u"hang"_s) {
            fault = Fault::hang();
        } else if (kind == u"reset_before_answer"_s) {
            fault = Fault::resetBeforeAnswer();
        } else if (kind == u"reset_in_body"_s) {
            fault = Fault::resetInBody(members.integer(u"bytes"_s, 0));
        } else if (kind == u"trickle"_s) {
            fault = Fault::trickle(members.integer(u"bytes"_s, 1),
                                   static_cast<int>(members.integer(u"interval_ms"_s, 100)),
                                   static_cast<int>(members.integer(u"limit_ms"_s, 10000)));
        } else if (kind == u"oversized"_s) {
            fault = Fault::oversized(members.integer(u"bytes"_s, 64 * 1024 * 1024),
                                     members.boolean(u"chunked"_s));
        } else if (kind == u"malformed"_s) {
            fault = Fault::malformed(
                oneOf<M>(where, members.string(u"malformation"_s),
                         {{"garbage_status_line", M::garbageStatusLine},
                          {"content_length_not_a_number", M::contentLengthNotANumber},
                          {"content_length_missing", M::contentLengthMissing},
                          {"body_shorter_than_content_length", M::bodyShorterThanContentLength},
                          {"invalid_chunks", M::invalidChunks}}));
        } else {
            fail(where, u"unknown fault \"%1\""_s.arg(kind));
        }
        if (members.boolean(u"after_handler"_s))
            fault = fault.afterHandler();
        members.finish();
        gateway.addFault(rule, fault);
        return;
    }
    FakeGlossenGateway::Corruption corruption;
    corruption.kind = oneOf<C>(where, members.string(u"corruption"_s),
                               {{"malformed_json", C::malformedJson},
                                {"missing_member", C::missingMember},
                                {"mistyped_member", C::mistypedMember},
                                {"huge_body", C::hugeBody},
                                {"redirect", C::redirect},
                                {"other_job_id", C::otherJobId}});
    corruption.member = members.string(u"member"_s);
    corruption.bytes = members.integer(u"bytes"_s, corruption.bytes);
    corruption.location = members.string(u"location"_s).toUtf8();
    corruption.otherJobId = members.string(u"other_job_id"_s);
    if (corruption.kind == C::redirect && corruption.location.isEmpty())
        fail(where, u"a redirect without \"location\""_s);
    members.finish();
    gateway.addCorruption(rule, corruption);
}

} // namespace

void applyGatewayScenario(const QByteArray& scenario, FakeGlossenGateway& gateway)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(scenario, &error);
    if (error.error != QJsonParseError::NoError)
        fail(u"JSON"_s, error.errorString());
    if (!document.isObject())
        fail(u"scenario"_s, u"not an object"_s);
    Members members(document.object(), u"scenario"_s);
    if (members.has(u"default_job"_s))
        gateway.setDefaultScript(readJob(members.value(u"default_job"_s), u"default_job"_s));
    const QJsonArray jobs = members.array(u"jobs"_s);
    for (qsizetype i = 0; i < jobs.size(); ++i)
        gateway.scriptJob(readJob(jobs[i], u"jobs[%1]"_s.arg(i)));
    const QJsonArray faults = members.array(u"faults"_s);
    for (qsizetype i = 0; i < faults.size(); ++i)
        readRule(faults[i], u"faults[%1]"_s.arg(i), gateway);
    members.finish();
}

} // namespace ebbcast::test
