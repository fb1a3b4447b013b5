#include "gateway/GatewayProgram.h"
#include "gateway/PocketSphinxRecognizer.h"
#include "gateway/TranscribeFiles.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication::setApplicationName(QStringLiteral("ebbcast-gateway"));
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    QTextStream out(stdout);
    QTextStream err(stderr);
    ebbcast::GatewayEngine engine{
        [](const QString& modelDirectory) -> std::unique_ptr<ebbcast::SpeechRecognizer> {
            return std::make_unique<ebbcast::PocketSphinxRecognizer>(
                modelDirectory.isEmpty() ? ebbcast::PocketSphinxRecognizer::defaultModelDirectory()
                                         : modelDirectory);
        },
        [](const QStringList& files, const QString& modelDirectory, QTextStream& output,
           QTextStream& errors) {
            return ebbcast::transcribeFiles(files,
                                            modelDirectory.isEmpty()
                                                ? ebbcast::PocketSphinxRecognizer::defaultModelDirectory()
                                                : modelDirectory,
                                            output, errors);
        },
    };
    ebbcast::GatewayProgram program(std::move(engine), QProcessEnvironment::systemEnvironment(), out, err);
    const int status = program.run(arguments);
    out.flush();
    err.flush();
    return status;
}
