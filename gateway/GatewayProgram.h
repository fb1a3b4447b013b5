#pragma once

#include "gateway/SpeechRecognizer.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <memory>

namespace ebbcast {

// The engine a gateway runs: how to load one recognizer (per worker) from a model folder, and the
// `--transcribe` benchmark mode. A load failure throws RecognitionError with a plain reason.
struct GatewayEngine {
    std::function<std::unique_ptr<SpeechRecognizer>(const QString& modelDirectory)> load;
    std::function<int(const QStringList& files, const QString& modelDirectory, QTextStream& out,
                      QTextStream& err)>
        transcribeFiles;
};

// The whole ebbcast-gateway process: options, token, the one-instance lock on the data folder, restart of
// stored jobs, the workers, the HTTP server, the port file, SIGTERM and the idle exit. Returns the exit
// status: 0 normal end, 1 failure, 2 usage, 3 the data folder belongs to another running gateway.
class GatewayProgram {
public:
    GatewayProgram(GatewayEngine engine, QProcessEnvironment environment, QTextStream& out, QTextStream& err);

    int run(const QStringList& arguments);

private:
    GatewayEngine engine_;
    QProcessEnvironment environment_;
    QTextStream& out_;
    QTextStream& err_;
};

} // namespace ebbcast
