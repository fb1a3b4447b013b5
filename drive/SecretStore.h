#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>

#include <optional>

namespace ebbcast {

// A per-user store of secrets, one item per (service, account) pair. KeychainStore keeps them in the
// Secret Service; tests use an in-memory one. Arguments are taken by value (coroutines).
// Main thread.
class SecretStore {
public:
    virtual ~SecretStore() = default;

    // Stores the bytes, replacing any item of the pair.
    virtual QCoro::Task<> save(QString service, QString account, QByteArray data) = 0;
    // The item's bytes, or nothing when there is no such item.
    virtual QCoro::Task<std::optional<QByteArray>> load(QString service, QString account) = 0;
    // Removes the item; no item is not an error.
    virtual QCoro::Task<> remove(QString service, QString account) = 0;
};

} // namespace ebbcast
