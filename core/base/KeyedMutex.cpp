#include "core/base/KeyedMutex.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace ebbcast {

WaitCancelledError::WaitCancelledError()
    : EbbcastError(u"The wait was cancelled."_s)
{}

WaitCancellation::WaitCancellation()
    : state_(std::make_shared<State>())
{}

void WaitCancellation::cancel()
{
    if (state_->cancelled)
        return;
    state_->cancelled = true;
    // The listeners only queue resumptions, but a copy keeps the walk independent of them.
    const auto listeners = state_->listeners;
    for (const auto& [id, listener] : listeners)
        listener();
}

bool WaitCancellation::isCancelled() const noexcept
{
    return state_->cancelled;
}

KeyedMutex::Lease::Lease(std::shared_ptr<Core> core, QString key)
    : core_(std::move(core))
    , key_(std::move(key))
{}

KeyedMutex::Lease::Lease(Lease&& other) noexcept
    : core_(std::move(other.core_))
    , key_(std::move(other.key_))
{}

KeyedMutex::Lease& KeyedMutex::Lease::operator=(Lease&& other) noexcept
{
    if (this != &other) {
        release();
        core_ = std::move(other.core_);
        key_ = std::move(other.key_);
    }
    return *this;
}

KeyedMutex::Lease::~Lease()
{
    release();
}

void KeyedMutex::Lease::release() noexcept
{
    if (const std::shared_ptr<Core> core = std::exchange(core_, nullptr))
        core->release(key_);
}

KeyedMutex::KeyedMutex()
    : core_(std::make_shared<Core>())
{}

KeyedMutex::~KeyedMutex() = default;

QCoro::Task<KeyedMutex::Lease> KeyedMutex::lock(QString key, WaitCancellation cancellation)
{
    if (cancellation.isCancelled())
        throw WaitCancelledError();
    const std::shared_ptr<Core> core = core_;
    const auto slot = core->slots.find(key);
    if (slot == core->slots.end()) {
        core->slots.insert(key, Slot{});
        co_return Lease(core, std::move(key));
    }

    const auto waiter = std::make_shared<Waiter>();
    slot->queue.push_back(waiter);
    WaitCancellation::State& cancelState = *cancellation.state_;
    const int listener = cancelState.nextListener++;
    cancelState.listeners.emplace(
        listener, [weakCore = std::weak_ptr<Core>(core), key, weakWaiter = std::weak_ptr<Waiter>(waiter)] {
            const std::shared_ptr<Core> lockedCore = weakCore.lock();
            const std::shared_ptr<Waiter> lockedWaiter = weakWaiter.lock();
            if (lockedCore && lockedWaiter)
                lockedCore->cancel(key, lockedWaiter);
        });

    struct Awaiter {
        Waiter& waiter;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) noexcept { waiter.handle = handle; }
        void await_resume() const noexcept {}
    };
    co_await Awaiter{*waiter};

    cancellation.state_->listeners.erase(listener);
    if (waiter->cancelled)
        throw WaitCancelledError();
    co_return Lease(core, std::move(key)); // the releasing holder handed the lock over: the slot stayed held
}

bool KeyedMutex::isLocked(const QString& key) const
{
    return core_->slots.contains(key);
}

int KeyedMutex::waiterCount(const QString& key) const
{
    const auto slot = core_->slots.constFind(key);
    return slot == core_->slots.cend() ? 0 : static_cast<int>(slot->queue.size());
}

void KeyedMutex::Core::release(const QString& key)
{
    const auto slot = slots.find(key);
    if (slot == slots.end())
        return;
    if (slot->queue.empty()) {
        slots.erase(slot);
        return;
    }
    const std::shared_ptr<Waiter> next = slot->queue.front();
    slot->queue.pop_front();
    resumeLater(next);
}

void KeyedMutex::Core::cancel(const QString& key, const std::shared_ptr<Waiter>& waiter)
{
    const auto slot = slots.find(key);
    if (slot == slots.end())
        return;
    const auto queued = std::find(slot->queue.begin(), slot->queue.end(), waiter);
    if (queued == slot->queue.end())
        return; // already granted
    slot->queue.erase(queued);
    waiter->cancelled = true;
    resumeLater(waiter);
}

void KeyedMutex::resumeLater(const std::shared_ptr<Waiter>& waiter)
{
    // From the event loop, so that the code releasing or cancelling finishes before the waiter runs.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [waiter] { waiter->handle.resume(); }, Qt::QueuedConnection);
}

} // namespace ebbcast
