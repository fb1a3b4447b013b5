#include "gateway/TranscribeFiles.h"

#include "gateway/AudioDecoder.h"
#include "gateway/PocketSphinxRecognizer.h"

#include <time.h>

#include <chrono>
#include <optional>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Wall and CPU time of this thread since construction.
class Stopwatch {
public:
    double wallSeconds() const { return std::chrono::duration<double>(Clock::now() - wallStart_).count(); }
    double cpuSeconds() const { return threadCpuSeconds() - cpuStart_; }

private:
    using Clock = std::chrono::steady_clock;
    Clock::time_point wallStart_ = Clock::now();
    double cpuStart_ = threadCpuSeconds();
};

QString seconds(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

} // namespace

int transcribeFiles(const QStringList& files, const QString& modelDirectory, QTextStream& out,
                    QTextStream& err)
{
    const auto never = [] {
        return false;
    };
    std::optional<PocketSphinxRecognizer> recognizer;
    const Stopwatch loading;
    try {
        recognizer.emplace(modelDirectory);
    } catch (const RecognitionError& error) {
        err << "ebbcast-gateway: " << QString::fromUtf8(error.what()) << "\n";
        err.flush();
        return 1;
    }
    err << "model " << modelDirectory << ": loaded in " << seconds(loading.wallSeconds(), 2) << " s\n";

    int status = 0;
    for (const QString& file : files) {
        try {
            const Stopwatch decoding;
            const std::vector<qint16> samples = AudioDecoder::decodeMono16k(file, never);
            const double decodeSeconds = decoding.wallSeconds();
            const double audioSeconds = static_cast<double>(samples.size()) / AudioDecoder::sampleRate;

            const Stopwatch recognizing;
            const Recognition recognition = recognizer->recognize(samples, never);
            const double recognizeSeconds = recognizing.wallSeconds();
            const double cpuSeconds = recognizing.cpuSeconds();

            out << recognition.text << "\n";
            out.flush();
            err << file << ": audio " << seconds(audioSeconds, 1) << " s, decode "
                << seconds(decodeSeconds, 2) << " s, recognize " << seconds(recognizeSeconds, 2) << " s (cpu "
                << seconds(cpuSeconds, 2) << " s), real-time factor "
                << seconds(audioSeconds > 0 ? cpuSeconds / audioSeconds : 0, 3) << "\n";
        } catch (const std::exception& error) {
            err << file << ": " << QString::fromUtf8(error.what()) << "\n";
            status = 1;
        }
        err.flush();
    }
    return status;
}

} // namespace ebbcast
