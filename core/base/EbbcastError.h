#pragma once

#include <QString>

#include <exception>
#include <string>

namespace ebbcast {

// Base of every error the application throws. description() is the user-readable text shown in alerts and
// written after "<what failed>: " in log lines.
class EbbcastError : public std::exception {
public:
    explicit EbbcastError(QString description);

    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    QString description_;
    std::string what_;
};

// The description of any error: an EbbcastError's own, what() of another exception, or "unknown error".
QString describeError(const std::exception_ptr& error);

} // namespace ebbcast
