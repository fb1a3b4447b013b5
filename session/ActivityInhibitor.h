#pragma once

#include <QString>

namespace ebbcast {

// Keeps the machine from idle sleep while a session records. Main thread.
class ActivityInhibitor {
public:
    virtual ~ActivityInhibitor() = default;
    virtual void begin(const QString& reason) = 0;
    virtual void end() = 0;
};

} // namespace ebbcast
