#include "core/base/EbbcastError.h"

using namespace Qt::StringLiterals;

namespace ebbcast {

EbbcastError::EbbcastError(QString description)
    : description_(std::move(description))
    , what_(description_.toStdString())
{}

QString describeError(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const EbbcastError& known) {
        return known.description();
    } catch (const std::exception& other) {
        return QString::fromLocal8Bit(other.what());
    } catch (...) {
        return u"unknown error"_s;
    }
}

} // namespace ebbcast
