#pragma once

#include <QCoreApplication>
#include <QMetaObject>

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

namespace ebbcast {

// A result that arrives once and that any number of coroutines may await: the one operation that several
// callers share (one refresh, one sign-in), or a listener's single outcome. Waiters resume from the event
// loop, never inside resolve() or fail(), so the code that settles the result finishes first.
// Main thread. Held by shared pointer: each waiter keeps it alive until it resumes.
template <typename T>
class PendingResult : public std::enable_shared_from_this<PendingResult<T>> {
public:
    bool isSettled() const noexcept { return settled_; }

    void resolve(T value)
    {
        if (settled_)
            return;
        value_ = std::move(value);
        settle();
    }
    void fail(std::exception_ptr error)
    {
        if (settled_)
            return;
        error_ = std::move(error);
        settle();
    }

    // co_await pending->wait(): the value, or the failure rethrown.
    auto wait()
    {
        struct Awaiter {
            std::shared_ptr<PendingResult> pending;
            bool await_ready() const noexcept { return pending->settled_; }
            void await_suspend(std::coroutine_handle<> waiter) { pending->waiters_.push_back(waiter); }
            T await_resume() const
            {
                if (pending->error_)
                    std::rethrow_exception(pending->error_);
                return *pending->value_;
            }
        };
        return Awaiter{this->shared_from_this()};
    }

private:
    void settle()
    {
        settled_ = true;
        for (const std::coroutine_handle<> waiter : std::exchange(waiters_, {})) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [waiter] { waiter.resume(); }, Qt::QueuedConnection);
        }
    }

    bool settled_ = false;
    std::optional<T> value_;
    std::exception_ptr error_;
    std::vector<std::coroutine_handle<>> waiters_;
};

} // namespace ebbcast
