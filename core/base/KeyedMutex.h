#pragma once

#include "core/base/EbbcastError.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QString>

#include <coroutine>
#include <deque>
#include <functional>
#include <map>
#include <memory>

namespace ebbcast {

// A wait for a lock was given up before the lock was granted.
class WaitCancelledError : public EbbcastError {
public:
    WaitCancelledError();
};

// Lets the owner of a pending lock() give up waiting: the waiting coroutine resumes with WaitCancelledError
// and leaves the queue; the waiters behind it move up. Copies share one state; cancelling has no effect on
// a lock that was already granted. Main thread.
class WaitCancellation {
public:
    WaitCancellation();

    void cancel();
    bool isCancelled() const noexcept;

private:
    friend class KeyedMutex;
    struct State {
        bool cancelled = false;
        int nextListener = 0;
        std::map<int, std::function<void()>> listeners;
    };
    std::shared_ptr<State> state_;
};

// An asynchronous mutex per string key: one holder per key at a time, further callers of that key wait in
// the order they asked and are granted the lock one after the other, while other keys are granted at once.
// No polling: releasing a lease hands the lock straight to the next waiter, which resumes from the event
// loop. Main thread; the mutex must outlive the coroutines waiting on it (leases may outlive it).
class KeyedMutex {
    struct Core;

public:
    // Holds the lock of one key until it is destroyed, released or moved from. Move-only.
    class Lease {
    public:
        Lease() = default;
        Lease(Lease&& other) noexcept;
        Lease& operator=(Lease&& other) noexcept;
        ~Lease();

        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;

        bool isHeld() const noexcept { return core_ != nullptr; }
        const QString& key() const noexcept { return key_; }
        void release() noexcept;

    private:
        friend class KeyedMutex;
        Lease(std::shared_ptr<Core> core, QString key);

        std::shared_ptr<Core> core_;
        QString key_;
    };

    KeyedMutex();
    ~KeyedMutex();

    KeyedMutex(const KeyedMutex&) = delete;
    KeyedMutex& operator=(const KeyedMutex&) = delete;

    // The lock of `key`, at once when it is free, else after every earlier caller of that key has had it.
    // Throws WaitCancelledError when `cancellation` is cancelled first.
    QCoro::Task<Lease> lock(QString key, WaitCancellation cancellation = {});

    bool isLocked(const QString& key) const;
    int waiterCount(const QString& key) const;

private:
    struct Waiter {
        std::coroutine_handle<> handle;
        bool cancelled = false;
    };
    struct Slot {
        std::deque<std::shared_ptr<Waiter>> queue; // a slot exists while its key is held
    };
    struct Core {
        QHash<QString, Slot> slots;
        void release(const QString& key);
        void cancel(const QString& key, const std::shared_ptr<Waiter>& waiter);
    };

    static void resumeLater(const std::shared_ptr<Waiter>& waiter);

    std::shared_ptr<Core> core_;
};

} // namespace ebbcast
