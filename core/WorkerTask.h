#pragma once

#include <QtConcurrent/QtConcurrentRun>

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>

#include <exception>
#include <optional>
#include <type_traits>

namespace ebbcast {

// Runs blocking work on a pool thread and resumes the awaiting coroutine on its own thread when it is done.
// An exception thrown by the work is rethrown to the awaiting coroutine as it was (QFuture alone would wrap
// anything that is not a QException).
template <typename Work>
auto runOnWorker(Work work) -> QCoro::Task<std::invoke_result_t<Work>>
{
    using Result = std::invoke_result_t<Work>;
    std::exception_ptr error;
    if constexpr (std::is_void_v<Result>) {
        co_await QtConcurrent::run([&work, &error] {
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
        });
        if (error)
            std::rethrow_exception(error);
    } else {
        std::optional<Result> result;
        co_await QtConcurrent::run([&work, &error, &result] {
            try {
                result.emplace(work());
            } catch (...) {
                error = std::current_exception();
            }
        });
        if (error)
            std::rethrow_exception(error);
        co_return std::move(*result);
    }
}

} // namespace ebbcast
