#pragma once

#include "core/base/HappensBefore.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>
#include <QtConcurrent/QtConcurrentRun>

#include <exception>
#include <optional>
#include <type_traits>

namespace ebbcast {

// Runs blocking work on a pool thread and resumes the awaiting coroutine on its own thread when it is done.
// An exception thrown by the work is rethrown to the awaiting coroutine as it was (QFuture alone would wrap
// anything that is not a QException).
// Await the call in the expression that makes it (`co_await runOnWorker([this] { ... })`): the work is taken
// by reference, because GCC 12 may destroy a coroutine's by-value argument twice, which corrupts anything
// reference-counted that a lambda captured by value. For the same reason, let the work capture only `this`
// and references, and keep awaited futures in named variables.
// The hand-over to the pool thread and back is also stated to ThreadSanitizer (see HappensBefore.h).
template <typename Work>
auto runOnWorker(Work&& work) -> QCoro::Task<std::invoke_result_t<Work>>
{
    using Result = std::invoke_result_t<Work>;
    std::exception_ptr error;
    if constexpr (std::is_void_v<Result>) {
        HappensBefore::release(&error);
        QFuture<void> done = QtConcurrent::run([&work, &error] {
            HappensBefore::acquire(&error);
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
            HappensBefore::release(&error);
        });
        co_await done;
        HappensBefore::acquire(&error);
        if (error)
            std::rethrow_exception(error);
    } else {
        std::optional<Result> result;
        HappensBefore::release(&error);
        QFuture<void> done = QtConcurrent::run([&work, &error, &result] {
            HappensBefore::acquire(&error);
            try {
                result.emplace(work());
            } catch (...) {
                error = std::current_exception();
            }
            HappensBefore::release(&error);
        });
        co_await done;
        HappensBefore::acquire(&error);
        if (error)
            std::rethrow_exception(error);
        co_return std::move(*result);
    }
}

} // namespace ebbcast
