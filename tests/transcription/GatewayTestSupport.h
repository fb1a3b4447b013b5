#pragma once

#include "core/base/EbbcastError.h"
#include "support/RunTask.h"

#include <QString>

#include <gtest/gtest.h>

#include <optional>

namespace ebbcast::test {

// Runs the task and returns the error of type Error it ended with; records a test failure (and returns
// nothing) when it succeeded or failed otherwise.
template <typename Error, typename T>
std::optional<Error> failureOf(QCoro::Task<T> task)
{
    try {
        runTask(std::move(task));
        ADD_FAILURE() << "the call succeeded";
    } catch (const Error& error) {
        return error;
    } catch (const EbbcastError& error) {
        ADD_FAILURE() << "another error: " << error.description().toStdString();
    }
    return std::nullopt;
}

// The description of whatever the task threw, or "(succeeded)".
template <typename T>
QString outcomeOf(QCoro::Task<T> task)
{
    try {
        runTask(std::move(task));
    } catch (const EbbcastError& error) {
        return error.description();
    }
    return QStringLiteral("(succeeded)");
}

} // namespace ebbcast::test
