#pragma once

#include "app/Command.h"

namespace ebbcast {

// "ebbcast recover": the launch-time repair of a session cut short by a crash, alone. A session another
// process still records is never touched.
class RecoverCommand : public Command {
public:
    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    // 0 repaired or nothing to repair, 1 the repair failed.
    QCoro::Task<int> run(CommandContext& context) override;
};

} // namespace ebbcast
