// Posts one session's relay events against a relay, for the crash trials: the session start, then the
// transcribed events of microphone chunks 0 to 5. Arguments: session folder, endpoint, token. Exit status 0
// when every event was delivered, 1 otherwise.
#include "core/base/Logger.h"
#include "relay/CorvanePelkoNotifier.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QNetworkAccessManager>

using namespace Qt::StringLiterals;

namespace {

QCoro::Task<bool> postAll(ebbcast::CorvanePelkoNotifier& notifier, QString folder)
{
    bool all = co_await notifier.notifyRecordingSessionStarted(folder) == ebbcast::RelayDelivery::delivered;
    for (qint64 index = 0; index < 6; ++index) {
        ebbcast::ChunkTranscribedEvent event;
        event.folder = folder;
        event.file = folder + u"/chunks/microphone_%1.wav"_s.arg(index);
        event.chunk.index = index;
        event.chunk.kind = u"microphone"_s;
        event.chunk.startTime = QDateTime::fromSecsSinceEpoch(1'767'607'200 + index * 300, Qt::UTC);
        event.chunk.endTime = event.chunk.startTime.addSecs(300);
        event.chunk.duration = 300;
        event.transcriptText = u"words"_s;
        event.gatewayJobID = u"job"_s;
        auto posting = notifier.notifyRecordingChunkTranscribed(std::move(event));
        all = (co_await std::move(posting) == ebbcast::RelayDelivery::delivered) && all;
    }
    co_return all;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4)
        return 2;
    const QString folder = arguments[1];
    const QString token = arguments[3];
    ebbcast::Logger logger(folder + u"/../poster.log"_s);
    QNetworkAccessManager network;
    ebbcast::CorvanePelkoNotifier notifier(
        ebbcast::CorvanePelkoNotifier::Config{.endpoint = QUrl(arguments[2]),
                                              .recorderID = u"velno"_s,
                                              .recorderName = u"Desk"_s,
                                              .pelkoUserID = {}},
        logger, network, ebbcast::DriveWebLinks(QUrl(u"https://drive.example"_s)), [token] { return token; },
        ebbcast::CorvanePelkoNotifier::Timing{});
    const bool delivered = QCoro::waitFor(postAll(notifier, folder));
    logger.flush();
    return delivered ? 0 : 1;
}
