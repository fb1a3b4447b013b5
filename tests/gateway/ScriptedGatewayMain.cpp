// ebbcast-gateway with a scripted recognizer in place of the speech engine, for the tests of the server's
// queue, persistence and restarts. The recognizer's behaviour comes from the environment:
//   SCRIPTED_RECOGNIZER_HOLD   a folder: each run writes "<job audio length>.running" there and waits until
//                              "release" appears in it (checking for cancellation meanwhile)
//   SCRIPTED_RECOGNIZER_ABORT  "1": the first block of every run aborts the process, as a crashing engine
//   would
// The transcript names the audio ("samples N sum S"), so each job's text can be traced to its own upload.
#include "gateway/GatewayProgram.h"

#include <QFile>
#include <QTextStream>

#include <chrono>
#include <cstdlib>
#include <numeric>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

class ScriptedRecognizer final : public ebbcast::SpeechRecognizer {
public:
    QString name() const override { return u"scripted"_s; }
    QString version() const override { return u"1"_s; }

    ebbcast::Recognition recognize(const std::vector<qint16>& samples,
                                   const std::function<bool()>& cancelled) override
    {
        if (qEnvironmentVariable("SCRIPTED_RECOGNIZER_ABORT") == "1"_L1)
            std::abort();
        const QString hold = qEnvironmentVariable("SCRIPTED_RECOGNIZER_HOLD");
        if (!hold.isEmpty()) {
            QFile marker(hold + u'/' + QString::number(samples.size()) + ".running"_L1);
            marker.open(QIODevice::WriteOnly);
            marker.close();
            while (!QFile::exists(hold + "/release"_L1)) {
                if (cancelled())
                    throw ebbcast::RecognitionCancelled();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        if (cancelled())
            throw ebbcast::RecognitionCancelled();
        const qint64 sum =
            std::accumulate(samples.begin(), samples.end(), qint64(0),
                            [](qint64 total, qint16 sample) { return total + std::abs(sample); });
        const QString text = u"samples %1 sum %2"_s.arg(samples.size()).arg(sum);
        return {text, {{text, 0.0, static_cast<double>(samples.size()) / 16000.0}}};
    }
};

} // namespace

int main(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QTextStream out(stdout);
    QTextStream err(stderr);
    ebbcast::GatewayEngine engine{
        [](const QString&) -> std::unique_ptr<ebbcast::SpeechRecognizer> {
            return std::make_unique<ScriptedRecognizer>();
        },
        [](const QStringList&, const QString&, QTextStream&, QTextStream& errors) {
            errors << "the scripted gateway does not transcribe files\n";
            return 2;
        },
    };
    ebbcast::GatewayProgram program(std::move(engine), QProcessEnvironment::systemEnvironment(), out, err);
    const int status = program.run(arguments);
    out.flush();
    err.flush();
    return status;
}
