#include "app/DriveCommand.h"

#include "app/ArgumentParser.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "drive/GoogleAuthError.h"
#include "drive/GoogleAuthManager.h"
#include "drive/GoogleDriveClient.h"
#include "shell/StopSignals.h"

#include <QDateTime>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

QString expiryText(const QDateTime& expiresAt, const QDateTime& now)
{
    const qint64 seconds = now.secsTo(expiresAt);
    const QString when = expiresAt.toUTC().toString(u"yyyy-MM-dd HH:mm:ss 'UTC'"_s);
    if (seconds <= 0)
        return when + u" (expired)"_s;
    if (seconds < 120)
        return when + u" (in %1 s)"_s.arg(seconds);
    return when + u" (in %1 min)"_s.arg(seconds / 60);
}

QString accountText(const DriveAccountInfo& account)
{
    if (account.displayName.isEmpty() && account.emailAddress.isEmpty())
        return u"unknown"_s;
    if (account.emailAddress.isEmpty())
        return account.displayName;
    if (account.displayName.isEmpty())
        return account.emailAddress;
    return account.displayName + u" <"_s + account.emailAddress + u'>';
}

} // namespace

BrowserOpener DriveCommand::signInBrowser(Console& console)
{
    return [&console](const QUrl& address) {
        console.write(u"Opening Google sign-in in the browser. If it does not open, visit:\n  "_s +
                      address.toString(QUrl::FullyEncoded) + u"\nWaiting for the sign-in...\n"_s);
        try {
            openInSystemBrowser(address);
        } catch (const EbbcastError& error) {
            console.error(error.description());
        }
    };
}

QString DriveCommand::name() const
{
    return u"drive"_s;
}

QString DriveCommand::summary() const
{
    return u"  drive sign-in|sign-out|status\n"
           "                             sign in to Google Drive, sign out, show the sign-in\n"_s;
}

QString DriveCommand::usage() const
{
    return u"Usage: ebbcast drive sign-in | sign-out | status\n\n"
           "  sign-in    opens Google's sign-in page in the browser and waits (up to 5 minutes) for\n"
           "             the answer; the token is kept in the Secret Service (GNOME Keyring, KWallet)\n"
           "  sign-out   deletes the stored token\n"
           "  status     whether a token is stored, when it expires, whether it can be refreshed,\n"
           "             and the Drive account; an expired token is refreshed, never signed in again\n\n"
           "The OAuth client is the setting googleClientID (and googleClientSecret).\n\n"
           "Options:\n"
           "  -h, --help    show this help\n\n"
           "Exit status: 0 done (status: signed in); 1 failed (status: not signed in); 2 usage error.\n"_s;
}

std::optional<UsageError> DriveCommand::parse(const QStringList& arguments)
{
    const auto parsed = ArgumentParser::parse(arguments, {});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return *error;
    const QStringList words = std::get<ArgumentParser::Parsed>(parsed).arguments;
    if (words.size() != 1)
        return UsageError{u"drive takes one of sign-in, sign-out, status"_s};
    if (words.first() == u"sign-in"_s)
        action_ = Action::signIn;
    else if (words.first() == u"sign-out"_s)
        action_ = Action::signOut;
    else if (words.first() == u"status"_s)
        action_ = Action::status;
    else
        return UsageError{u"unknown drive action '"_s + words.first() + u"' (sign-in, sign-out, status)"_s};
    return std::nullopt;
}

bool DriveCommand::catchesStopSignals() const
{
    return action_ == Action::signIn;
}

QCoro::Task<int> DriveCommand::run(CommandContext& context)
{
    switch (action_) {
    case Action::signIn:
        co_return co_await signIn(context);
    case Action::signOut:
        co_return co_await signOut(context);
    case Action::status:
        co_return co_await status(context);
    }
    co_return 1;
}

QCoro::Task<int> DriveCommand::signIn(CommandContext& context)
{
    GoogleAuthManager& auth = context.googleAuth;
    QObject receiver;
    QObject::connect(&context.stopSignals, &StopSignals::caught, &receiver, [&auth] { auth.cancelSignIn(); });
    if (context.stopSignals.received() != 0)
        co_return endedBySignal;
    try {
        co_await auth.signIn();
    } catch (const GoogleAuthError& error) {
        if (error.code() == GoogleAuthError::Code::signInCancelled && context.stopSignals.received() != 0)
            co_return endedBySignal;
        context.console.error(error.description());
        co_return 1;
    } catch (const EbbcastError& error) {
        context.console.error(error.description());
        co_return 1;
    }
    context.console.out() << u"Signed in to Google Drive.\n"_s;
    context.console.out().flush();
    co_return 0;
}

QCoro::Task<int> DriveCommand::signOut(CommandContext& context)
{
    try {
        const bool wasSignedIn = co_await context.googleAuth.signOut();
        context.console.out() << (wasSignedIn ? u"Signed out.\n"_s : u"Not signed in.\n"_s);
    } catch (const EbbcastError& error) {
        context.console.error(error.description());
        co_return 1;
    }
    context.console.out().flush();
    co_return 0;
}

QCoro::Task<int> DriveCommand::status(CommandContext& context)
{
    GoogleAuthManager& auth = context.googleAuth;
    QTextStream& out = context.console.out();
    std::optional<GoogleToken> token;
    try {
        token = co_await auth.storedToken();
    } catch (const EbbcastError& error) {
        context.console.error(error.description());
        co_return 1;
    }
    if (!token) {
        out << u"Not signed in.\n"_s;
        out.flush();
        co_return 1;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    out << u"Token stored: yes\n"_s;
    out << u"Access token expires: "_s << expiryText(token->expiresAt, now) << u'\n';
    out << u"Refresh token: "_s << (token->refreshToken ? u"stored"_s : u"none"_s) << u'\n';
    out.flush();

    int result = 0;
    try {
        co_await auth.validAccessToken();
        const auto current = co_await auth.storedToken();
        if (current && current->accessToken != token->accessToken)
            out << u"Access token refreshed; expires: "_s << expiryText(current->expiresAt, now) << u'\n';
    } catch (const EbbcastError& error) {
        context.console.error(error.description());
        result = 1;
    }
    if (result == 0) {
        try {
            const DriveAccountInfo account = co_await context.googleDrive.accountInfo();
            out << u"Account: "_s << accountText(account) << u'\n';
        } catch (const EbbcastError& error) {
            out << u"Account: unknown\n"_s;
            context.console.error(u"could not read the Drive account: "_s + error.description());
        }
    }
    out.flush();
    co_return result;
}

} // namespace ebbcast
