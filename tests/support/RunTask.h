#pragma once

#include <QCoro/QCoroTask>

#include <exception>
#include <optional>
#include <type_traits>

namespace ebbcast::test {

// Runs a coroutine to its end on this thread's event loop and returns its result or rethrows its exception
// (QCoro::waitFor alone would hang on an exception).
template <typename T>
T runTask(QCoro::Task<T> task)
{
    std::exception_ptr error;
    if constexpr (std::is_void_v<T>) {
        // The task is passed by reference: see runOnWorker about by-value coroutine arguments.
        auto wrapper = [](QCoro::Task<T>& inner, std::exception_ptr& failure) -> QCoro::Task<> {
            try {
                co_await std::move(inner);
            } catch (...) {
                failure = std::current_exception();
            }
        };
        QCoro::waitFor(wrapper(task, error));
        if (error)
            std::rethrow_exception(error);
    } else {
        std::optional<T> result;
        auto wrapper = [](QCoro::Task<T>& inner, std::exception_ptr& failure,
                          std::optional<T>& value) -> QCoro::Task<> {
            try {
                value.emplace(co_await std::move(inner));
            } catch (...) {
                failure = std::current_exception();
            }
        };
        QCoro::waitFor(wrapper(task, error, result));
        if (error)
            std::rethrow_exception(error);
        return std::move(*result);
    }
}

} // namespace ebbcast::test
