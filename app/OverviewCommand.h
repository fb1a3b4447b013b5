#pragma once

#include "app/Command.h"

namespace ebbcast {

// "ebbcast" without arguments: the version, where the application keeps its files, and every setting.
class OverviewCommand : public Command {
public:
    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    QCoro::Task<int> run(CommandContext& context) override;
};

} // namespace ebbcast
