#pragma once

#include "support/FakeHttpServer.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace ebbcast::test {

// The relay's notify endpoint as a strict Model for FakeHttpServer. It accepts only a POST to exactly `path`
// (no query) with "Authorization: Bearer <token>" and "Content-Type: application/json", whose body is one
// flat JSON object with only the relay's members, in their declared order, each of its type, never null, the
// required ones present, no "\/" escape, "kind" equal to "event", the idempotency key built from the thread
// key, the event and (for chunk events) the chunk, and, in a reply, "thread_ts" = "parent_thread_ts" = a
// thread this relay issued for the same thread key (absent in the parent). A request that breaks a rule is
// answered 400 and noted in violations().
//
// It keeps the threads: the parent opens one (its identifier is returned as "ts" and "thread_ts"), each
// accepted reply is a message in it. With deduplication on (the default), an idempotency key seen before gets
// the first answer again and adds no message.
class FakeRelayServer : public FakeHttpServer::Model {
public:
    struct Message {
        QString idempotencyKey;
        QString event;
        QByteArray body;
    };
    struct Thread {
        QString threadKey;
        QString ts;
        QList<Message> messages; // the parent first
    };
    // Where a request is when the hook runs: before the relay acts on it, or after it did (before answering).
    enum class Stage { arrived, processed };

    explicit FakeRelayServer(QString token, QByteArray path = "/corvane/api/v1/pelko/notify");

    FakeHttpServer::Response answer(const FakeHttpServer::Request& request) override;

    void setDeduplication(bool on) { deduplicate_ = on; }
    // Runs for every well-formed request at each stage (a crash test kills its client here).
    void setHook(std::function<void(const FakeHttpServer::Request&, Stage)> hook) { hook_ = std::move(hook); }
    // Answers parents with this body instead of the thread (for example "{}" or "{\"ts\":17}").
    void setParentAnswer(std::optional<QByteArray> body) { parentAnswer_ = std::move(body); }

    const QStringList& violations() const { return violations_; }
    const QList<Thread>& threads() const { return threads_; }
    const Thread* thread(const QString& threadKey) const;
    // Accepted messages whose idempotency key is `key`, over all threads.
    int messagesWithKey(const QString& key) const;

    // The members of a flat JSON object in their order with their raw values, or nothing when the text is not
    // one.
    static std::optional<QList<std::pair<QString, QByteArray>>> flatMembers(const QByteArray& body);

private:
    FakeHttpServer::Response refuse(const QString& violation);
    std::optional<QString> check(const FakeHttpServer::Request& request) const;

    QString token_;
    QByteArray path_;
    bool deduplicate_ = true;
    std::function<void(const FakeHttpServer::Request&, Stage)> hook_;
    std::optional<QByteArray> parentAnswer_;
    QList<Thread> threads_;
    QHash<QString, QByteArray> answers_; // idempotency key -> first answer
    QStringList violations_;
    int nextTs_ = 1;
};

} // namespace ebbcast::test
