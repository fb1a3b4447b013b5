#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace ebbcast {

// The command line of ebbcast-gateway. The token is never an argument (every user can read a process's
// arguments): it comes from the environment or a private file.
struct GatewayOptions {
    QString listenHost = QStringLiteral("127.0.0.1");
    quint16 listenPort = 0; // 0: any free port
    bool listenNamed = false;
    QString portFile;
    int workers = 0; // 0: one per core
    QString dataDirectory;
    QString modelDirectory; // empty: the engine's default
    QString tokenFile;
    double idleExitMinutes = 0; // 0: never; fractions allowed
    int retentionDays = 7;
    QStringList transcribeFiles; // --transcribe: recognise these and exit, no HTTP
    bool help = false;
    bool version = false;

    static std::variant<GatewayOptions, QString> parse(const QStringList& arguments);
    static QString usage();

    bool loopbackOnly() const;
    // The default data folder: $XDG_STATE_HOME/Tavilon/gateway (~/.local/state when unset). Empty without
    // HOME.
    static QString defaultDataDirectory(const QProcessEnvironment& environment);
};

} // namespace ebbcast
