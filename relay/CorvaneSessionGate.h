#pragma once

#include "core/base/SessionFolderGate.h"

namespace ebbcast {

// The turn of one session folder for relay delivery: within the process in the order asked, across
// processes through an advisory lock on ".ebbcast_corvane_state.lock" in the folder, so that two processes
// never read and write one relay state at once.
class CorvaneSessionGate : public SessionFolderGate {
public:
    static constexpr char lockFile[] = ".ebbcast_corvane_state.lock";

    CorvaneSessionGate()
        : SessionFolderGate(QString::fromLatin1(lockFile), QStringLiteral("relay delivery"))
    {}
    explicit CorvaneSessionGate(Options options)
        : SessionFolderGate(QString::fromLatin1(lockFile), QStringLiteral("relay delivery"),
                            std::move(options))
    {}
};

} // namespace ebbcast
