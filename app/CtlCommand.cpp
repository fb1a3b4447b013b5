#include "app/CtlCommand.h"

#include "app/ArgumentParser.h"
#include "app/CommandContext.h"
#include "app/Console.h"
#include "app/ControlService.h"
#include "app/SettingValueText.h"
#include "core/json/ShortestNumber.h"

#include <QCoro/QCoroSignal>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

// A start waits for the clock check and the devices, a stop for the session document: both may take a while.
constexpr auto longCallTimeout = 120s;
constexpr auto shortCallTimeout = 15s;

const QString notRunningText = u"Ebbcast is not running."_s;

// "state: recording" lines in the interface's order, values on one line each.
QString statusLines(const QVariantMap& state)
{
    QString text;
    for (const QString& key : {u"state"_s, u"sessionFolder"_s, u"elapsedSeconds"_s, u"lastSessionFolder"_s,
                               u"transcriptStatus"_s, u"uploadStatus"_s}) {
        if (!state.contains(key))
            continue;
        const QVariant value = state.value(key);
        const QString shown = value.typeId() == QMetaType::Double
                                  ? QString::fromLatin1(ShortestNumber::format(value.toDouble()))
                                  : value.toString();
        text += key + u": "_s +
                (SettingValueText::holdsControlCharacters(shown) ? SettingValueText::escaped(shown) : shown) +
                u'\n';
    }
    return text;
}

} // namespace

QString CtlCommand::name() const
{
    return u"ctl"_s;
}

QString CtlCommand::summary() const
{
    return u"  ctl start|stop|marker [LABEL]|status [--json]\n"
           "                             control the running application\n"_s;
}

QString CtlCommand::usage() const
{
    return u"Usage: ebbcast ctl start|stop|marker [LABEL]|status [--json]\n\n"
           "Asks the running Ebbcast, over the D-Bus session bus:\n"
           "  start            start a recording and print its session folder once it runs\n"
           "  stop             stop the recording and print the session folder once it is saved\n"
           "  marker [LABEL]   add a marker (labelled LABEL, else \"Marker\") to the recording and print\n"
           "                   its time in the session, in seconds\n"
           "  status           print the state, the session folders, the elapsed seconds and the\n"
           "                   transcript and upload status, one \"key: value\" line each\n\n"
           "Options:\n"
           "  --json        with status: print one JSON object instead\n"
           "  -h, --help    show this help\n\n"
           "Exit status: 0 done (a start while recording and a stop while idle included); 1 failed,\n"
           "with the reason on standard error; 2 usage error; 3 Ebbcast is not running.\n"_s;
}

std::optional<UsageError> CtlCommand::parse(const QStringList& arguments)
{
    const auto parsed = ArgumentParser::parse(arguments, {{u"--json"_s, false}});
    if (const auto* error = std::get_if<UsageError>(&parsed))
        return *error;
    const auto& options = std::get<ArgumentParser::Parsed>(parsed);
    const QStringList words = options.arguments;
    if (words.isEmpty())
        return UsageError{u"ctl needs an action: start, stop, marker or status"_s};
    const QString action = words.first();
    json_ = options.has(u"--json"_s);
    label_.clear();
    if (action == u"start" || action == u"stop") {
        action_ = action == u"start" ? Action::start : Action::stop;
        if (words.size() > 1)
            return UsageError{u"ctl "_s + action + u" takes no arguments"_s};
    } else if (action == u"marker") {
        action_ = Action::marker;
        if (words.size() > 2)
            return UsageError{u"ctl marker takes one label (quote a label with spaces)"_s};
        label_ = words.value(1);
    } else if (action == u"status") {
        action_ = Action::status;
        if (words.size() > 1)
            return UsageError{u"ctl status takes no arguments"_s};
    } else {
        return UsageError{u"unknown ctl action \""_s + SettingValueText::escaped(action) +
                          u"\"; the actions are start, stop, marker and status"_s};
    }
    if (json_ && action_ != Action::status)
        return UsageError{u"--json goes with ctl status"_s};
    return std::nullopt;
}

QCoro::Task<int> CtlCommand::run(CommandContext& context)
{
    return control(context.console, QDBusConnection::sessionBus());
}

QCoro::Task<int> CtlCommand::control(Console& console, QDBusConnection bus)
{
    if (!bus.isConnected()) {
        console.error(notRunningText + u" (There is no D-Bus session bus.)"_s);
        co_return 3;
    }
    static const char* const methods[] = {"Start", "Stop", "CreateMarker", "Status"};
    QDBusMessage call = QDBusMessage::createMethodCall(
        ControlService::serviceName, ControlService::objectPath, ControlService::interfaceName,
        QString::fromLatin1(methods[static_cast<int>(action_)]));
    if (action_ == Action::marker)
        call << (label_.isEmpty() ? u"Marker"_s : label_);
    const auto timeout =
        action_ == Action::start || action_ == Action::stop ? longCallTimeout : shortCallTimeout;
    QDBusPendingCallWatcher watcher(
        bus.asyncCall(call, static_cast<int>(std::chrono::milliseconds(timeout).count())));
    co_await qCoro(&watcher, &QDBusPendingCallWatcher::finished);
    const QDBusMessage reply = watcher.reply();

    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QString error = reply.errorName();
        if (error == u"org.freedesktop.DBus.Error.ServiceUnknown" ||
            error == u"org.freedesktop.DBus.Error.NameHasNoOwner") {
            console.error(notRunningText);
            co_return 3;
        }
        if (error == u"org.freedesktop.DBus.Error.NoReply" ||
            error == u"org.freedesktop.DBus.Error.Timeout") {
            console.error(u"Ebbcast did not answer in time."_s);
            co_return 1;
        }
        const QString message = reply.errorMessage().trimmed();
        const QString said = message.isEmpty() ? error : message;
        console.error(SettingValueText::holdsControlCharacters(said) ? SettingValueText::escaped(said)
                                                                     : said);
        co_return 1;
    }
    const QVariant first = reply.arguments().value(0);
    switch (action_) {
    case Action::start:
    case Action::stop:
        if (!first.toString().isEmpty())
            console.out() << first.toString() << u'\n';
        break;
    case Action::marker:
        console.out() << QString::fromLatin1(ShortestNumber::format(first.toDouble())) << u'\n';
        break;
    case Action::status: {
        const QVariantMap state = qdbus_cast<QVariantMap>(first);
        if (json_)
            console.out() << QString::fromUtf8(QJsonDocument(QJsonObject::fromVariantMap(state))
                                                   .toJson(QJsonDocument::Compact))
                          << u'\n';
        else
            console.out() << statusLines(state);
        break;
    }
    }
    console.out().flush();
    co_return 0;
}

} // namespace ebbcast
