#pragma once

#include "app/Command.h"

#include <QDBusConnection>
#include <QString>

namespace ebbcast {

class Console;

// "ebbcast ctl start|stop|marker [LABEL]|status [--json]": asks the running application over the D-Bus
// session bus (for desktop actions, hotkeys and scripts). Builds none of the application's components: it
// only talks to the one that runs.
class CtlCommand : public Command {
public:
    enum class Action { start, stop, marker, status };

    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    QCoro::Task<int> run(CommandContext& context) override;

    // 0 done (already recording or already idle included); 1 failed, with the reason on standard error;
    // 3 Ebbcast is not running.
    QCoro::Task<int> control(Console& console, QDBusConnection bus);

private:
    Action action_ = Action::status;
    QString label_;
    bool json_ = false;
};

} // namespace ebbcast
