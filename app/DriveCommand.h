#pragma once

#include "app/Command.h"
#include "drive/SystemBrowser.h"

#include <QCoro/QCoroTask>

namespace ebbcast {

class Console;

// "ebbcast drive sign-in | sign-out | status": the Google Drive sign-in from the command line. Only sign-in
// may open the browser (the composition root asks signsIn() before it builds the sign-in manager); status
// refreshes an expired token but never signs in.
class DriveCommand : public Command {
public:
    QString name() const override;
    QString summary() const override;
    QString usage() const override;
    std::optional<UsageError> parse(const QStringList& arguments) override;
    bool catchesStopSignals() const override;
    // sign-in: 0 signed in, 1 failed; sign-out: 0 signed out or not signed in, 1 the keyring failed;
    // status: 0 signed in with a usable token, 1 otherwise.
    QCoro::Task<int> run(CommandContext& context) override;

    bool signsIn() const { return action_ == Action::signIn; }
    // What sign-in does with the consent page's address: prints it (for a browser on another screen) and
    // opens it in the desktop's browser; a browser that cannot be started is reported, the wait goes on.
    static BrowserOpener signInBrowser(Console& console);

private:
    enum class Action { signIn, signOut, status };

    QCoro::Task<int> signIn(CommandContext& context);
    QCoro::Task<int> signOut(CommandContext& context);
    QCoro::Task<int> status(CommandContext& context);

    Action action_ = Action::status;
};

} // namespace ebbcast
