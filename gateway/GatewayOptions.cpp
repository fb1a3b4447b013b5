#include "gateway/GatewayOptions.h"

#include "core/base/AppPaths.h"

#include <QHostAddress>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

std::optional<int> positive(const QString& text, int minimum, int maximum)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

} // namespace

QString GatewayOptions::usage()
{
    return u"Usage: ebbcast-gateway [OPTIONS]\n"
           "       ebbcast-gateway --transcribe FILE...\n\n"
           "Offline transcription gateway for Ebbcast: accepts audio chunks over HTTP, transcribes them on\n"
           "this machine and serves the transcripts. The bearer token comes from the environment variable\n"
           "EBBCAST_GATEWAY_TOKEN or from --token-file, never from the command line.\n\n"
           "Options:\n"
           "  --listen ADDR:PORT     address to listen on (default 127.0.0.1:0, any free port)\n"
           "  --port-file FILE       write the port and process id there once listening\n"
           "  --workers N            transcriptions at once (default: one per core)\n"
           "  --data-dir DIR         jobs, transcripts and log (default $XDG_STATE_HOME/Tavilon/gateway)\n"
           "  --model-dir DIR        speech model (default: the installed en-us model)\n"
           "  --token-file FILE      file holding the token, readable by its owner only (mode 0600)\n"
           "  --idle-exit MINUTES    exit after this long with nothing queued and no request\n"
           "  --retention-days N     keep finished jobs this many days (default 7)\n"
           "  --transcribe FILE...   transcribe the files, print the text and timings, and exit\n"
           "  -h, --help             show this help\n"
           "  --version              show the version\n"_s;
}

std::variant<GatewayOptions, QString> GatewayOptions::parse(const QStringList& arguments)
{
    GatewayOptions options;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == "-h"_L1 || argument == "--help"_L1) {
            options.help = true;
            continue;
        }
        if (argument == "--version"_L1) {
            options.version = true;
            continue;
        }
        if (argument == "--transcribe"_L1) {
            options.transcribeFiles = arguments.mid(i + 1);
            if (options.transcribeFiles.isEmpty())
                return u"--transcribe needs at least one file"_s;
            break;
        }
        QString name = argument;
        QString value;
        bool hasValue = false;
        if (const qsizetype equals = argument.indexOf(u'='); argument.startsWith("--"_L1) && equals > 0) {
            name = argument.left(equals);
            value = argument.mid(equals + 1);
            hasValue = true;
        }
        static const QStringList valued{u"--listen"_s,    u"--port-file"_s,     u"--workers"_s,
                                        u"--data-dir"_s,  u"--model-dir"_s,     u"--token-file"_s,
                                        u"--idle-exit"_s, u"--retention-days"_s};
        if (!valued.contains(name))
            return u"unknown option %1"_s.arg(argument);
        if (!hasValue) {
            if (i + 1 >= arguments.size())
                return u"%1 needs a value"_s.arg(name);
            value = arguments[++i];
        }
        if (name == "--listen"_L1) {
            const qsizetype colon = value.lastIndexOf(u':');
            const auto port = colon > 0 ? positive(value.mid(colon + 1), 0, 65535) : std::nullopt;
            QString host = colon > 0 ? value.left(colon) : QString();
            if (host.startsWith(u'[') && host.endsWith(u']'))
                host = host.mid(1, host.size() - 2);
            if (!port || QHostAddress(host).isNull())
                return u"--listen needs ADDRESS:PORT with a numeric address, such as 127.0.0.1:0"_s;
            options.listenHost = host;
            options.listenPort = static_cast<quint16>(*port);
            options.listenNamed = true;
        } else if (name == "--port-file"_L1) {
            options.portFile = value;
        } else if (name == "--workers"_L1) {
            const auto workers = positive(value, 1, 256);
            if (!workers)
                return u"--workers needs a number from 1 to 256"_s;
            options.workers = *workers;
        } else if (name == "--data-dir"_L1) {
            options.dataDirectory = value;
        } else if (name == "--model-dir"_L1) {
            options.modelDirectory = value;
        } else if (name == "--token-file"_L1) {
            options.tokenFile = value;
        } else if (name == "--idle-exit"_L1) {
            bool ok = false;
            const double minutes = value.toDouble(&ok);
            if (!ok || !(minutes >= 0 && minutes <= 1e6))
                return u"--idle-exit needs a number of minutes"_s;
            options.idleExitMinutes = minutes;
        } else if (name == "--retention-days"_L1) {
            const auto days = positive(value, 1, 100000);
            if (!days)
                return u"--retention-days needs a number of days"_s;
            options.retentionDays = *days;
        }
    }
    return options;
}

bool GatewayOptions::loopbackOnly() const
{
    return QHostAddress(listenHost).isLoopback();
}

QString GatewayOptions::defaultDataDirectory(const QProcessEnvironment& environment)
{
    const auto paths = AppPaths::fromEnvironment(environment);
    if (!paths)
        return {};
    return paths->stateDirectory() + "/gateway"_L1;
}

} // namespace ebbcast
