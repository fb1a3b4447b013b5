// ebbcast_local_gateway_resolve RUNTIME PROGRAM TOKEN LOG: one more process that wants the local gateway, as
// a second application would. It resolves "local" with a launcher of its own (runtime folder RUNTIME, program
// PROGRAM, log LOG) and prints the base URL; status 1 with the error on standard error.

#include "core/base/EbbcastError.h"
#include "core/base/Logger.h"
#include "transcription/LocalGatewayLauncher.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 5) {
        std::fprintf(stderr, "usage: ebbcast_local_gateway_resolve RUNTIME PROGRAM TOKEN LOG\n");
        return 2;
    }
    QNetworkAccessManager network;
    ebbcast::Logger logger(arguments.at(4));
    ebbcast::LocalGatewayLauncher launcher(arguments.at(1), arguments.at(2), {}, network, logger, {});
    int status = 1;
    // Made before the coroutine: GCC 12 destroys a braced temporary argument inside a co_await twice, which
    // released the token's string one time too many.
    const ebbcast::GlossenGatewaySettings stored{u"local"_s, arguments.at(3)};
    const auto resolve = [&]() -> QCoro::Task<> {
        try {
            const ebbcast::GlossenGatewaySettings settings = co_await launcher.resolve(stored);
            std::printf("%s\n", settings.baseURL.toUtf8().constData());
            status = 0;
        } catch (const ebbcast::EbbcastError& error) {
            std::fprintf(stderr, "%s\n", error.description().toUtf8().constData());
        }
    };
    QCoro::waitFor(resolve());
    logger.flush();
    return status;
}
