#pragma once

#include "drive/SecretStore.h"

#include <QHash>

#include <exception>
#include <functional>

namespace ebbcast::test {

// The secret store as a map, with a failure to throw on chosen operations and counters of each.
class InMemorySecretStore : public SecretStore {
public:
    QCoro::Task<> save(QString service, QString account, QByteArray data) override
    {
        ++saves;
        failIfSet(failSaves);
        items[service + u'/' + account] = data;
        co_return;
    }
    QCoro::Task<std::optional<QByteArray>> load(QString service, QString account) override
    {
        ++loads;
        failIfSet(failLoads);
        const auto found = items.constFind(service + u'/' + account);
        if (found == items.cend())
            co_return std::nullopt;
        co_return *found;
    }
    QCoro::Task<> remove(QString service, QString account) override
    {
        ++removes;
        failIfSet(failRemoves);
        items.remove(service + u'/' + account);
        co_return;
    }

    QHash<QString, QByteArray> items;
    int saves = 0;
    int loads = 0;
    int removes = 0;
    std::function<void()> failSaves;
    std::function<void()> failLoads;
    std::function<void()> failRemoves;

private:
    static void failIfSet(const std::function<void()>& failure)
    {
        if (failure)
            failure();
    }
};

} // namespace ebbcast::test
