#pragma once

#include <QMetaObject>
#include <QObject>

#include <coroutine>
#include <vector>

namespace ebbcast {

// Coroutines parked until something happens; resumeAll resumes them from the event loop of `context`'s
// thread (never inside the caller's stack).
class CoroutineWaiters {
public:
    void add(std::coroutine_handle<> handle) { handles_.push_back(handle); }
    void resumeAll(QObject* context)
    {
        std::vector<std::coroutine_handle<>> handles;
        handles.swap(handles_);
        for (const std::coroutine_handle<> handle : handles)
            QMetaObject::invokeMethod(
                context, [handle] { handle.resume(); }, Qt::QueuedConnection);
    }

private:
    std::vector<std::coroutine_handle<>> handles_;
};

// `co_await ParkOn{waiters, ready}`: goes on at once when `ready`, else parks on `waiters`.
struct ParkOn {
    CoroutineWaiters& waiters;
    bool ready;
    bool await_ready() const noexcept { return ready; }
    void await_suspend(std::coroutine_handle<> handle) const { waiters.add(handle); }
    void await_resume() const noexcept {}
};

} // namespace ebbcast
