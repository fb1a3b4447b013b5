#include "core/base/EbbcastError.h"

namespace ebbcast {

EbbcastError::EbbcastError(QString description)
    : description_(std::move(description))
    , what_(description_.toStdString())
{}

} // namespace ebbcast
