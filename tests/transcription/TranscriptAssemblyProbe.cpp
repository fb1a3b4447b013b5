// Assembles a session's final transcript set again and again until it is killed: a stand-in for a process
// that dies in the middle of an assembly. Each round's documents carry their own "generated_at" (one second
// after the previous round's), so the test can tell which round a file comes from.
//
// ebbcast_transcript_assembly_probe SESSION_FOLDER FIRST_GENERATED_AT LOG_FILE
// Prints "assembling" once the first round begins.

#include "core/base/Iso8601.h"
#include "core/base/Logger.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/SessionChunks.h"

#include <QCoreApplication>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() != 4)
        return 2;
    const QString folder = arguments.at(1);
    const auto first = ebbcast::Iso8601::parse(arguments.at(2));
    if (!first)
        return 2;
    ebbcast::Logger logger(arguments.at(3));
    const auto chunks = ebbcast::readSessionChunks(folder);
    ebbcast::SessionMetadata session;
    session.sessionID = u"2026-12-12_08-00-00"_s;
    session.startTime = chunks.empty() ? *first : chunks.front().startTime;
    session.appVersion = u"1.4.0"_s;
    qint64 round = 0;
    ebbcast::FinalTranscriptWriter writer({u"studio-7"_s}, logger, {}, {},
                                          [&first, &round] { return first->addSecs(round); });
    std::fputs("assembling\n", stdout);
    std::fflush(stdout);
    for (;; ++round)
        writer.writeFinalTranscriptArtifacts(folder, session, chunks);
}
