// Rewrites a session's documents pass after pass from a process of its own, through the locked
// read-modify-write every writer of a session uses, while the recording and the transcription write them too.
// In pass N it changes, in "metadata.json" and in every chunk document present:
//  - a member the typed documents know and nobody else changes (SessionDocumentFile::update / updateChunk):
//    the session's "active_app_name" becomes "probe pass N", a chunk's "clock_round_trip_ms" becomes N;
//  - the member "probe_rewrites", which the typed documents do not know, to N: at the top level of every
//    document and in each "live_chunks" entry (the stored object changed as such, under the same lock).
// Before each change it checks that the member still holds what its own previous pass wrote there: anything
// else is a write of this process that another writer lost.
//
// ebbcast_session_document_probe SESSION_FOLDER
// Prints "pass N" after each pass. Ends at the end of its standard input, after the pass under way, and
// prints one JSON line: {"passes": N, "lost": ["<what>", ...], "last": {"<place>": <the last value written>,
// ...}}, places being "metadata.json", "chunks/<name>.json" and "live_chunks/<file_path>". Exit status 0; 1
// for usage; 2 when a document could not be changed (the reason on standard error).

#include "core/base/EbbcastError.h"
#include "core/base/FileLock.h"
#include "core/documents/SessionDocumentFile.h"
#include "core/json/JsonDocumentFile.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <map>

using namespace Qt::StringLiterals;
using namespace ebbcast;

namespace {

const QString counterMember = u"probe_rewrites"_s;

QString passName(qint64 pass)
{
    return u"probe pass "_s + QString::number(pass);
}

// Whether standard input has ended (or brought anything): checked between passes, without waiting.
bool stopRequested()
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return ::poll(&input, 1, 0) > 0;
}

class Rewriter {
public:
    explicit Rewriter(QString sessionFolder)
        : folder_(std::move(sessionFolder))
    {}

    void pass(qint64 number)
    {
        rewriteSession(number);
        const QStringList documents =
            QDir(folder_ + u"/chunks"_s).entryList({u"*.json"_s}, QDir::Files, QDir::Name);
        for (const QString& name : documents)
            rewriteChunk(u"chunks/"_s + name, number);
    }

    QJsonObject report(qint64 passes) const
    {
        QJsonObject last;
        for (const auto& [place, value] : last_)
            last.insert(place, value);
        QJsonObject result;
        result.insert(u"passes"_s, passes);
        result.insert(u"lost"_s, QJsonArray::fromStringList(lost_));
        result.insert(u"last"_s, last);
        return result;
    }

private:
    // What `place` should hold: the value of this process's last write there, if it wrote there.
    void expect(const QString& place, const QString& member, const QJsonValue& found)
    {
        const auto written = last_.find(place);
        if (written == last_.end())
            return;
        if (found.isDouble() && static_cast<qint64>(found.toDouble()) == written->second)
            return;
        lost_.append(place + u' ' + member + u": wrote "_s + QString::number(written->second) +
                     u", found "_s +
                     QString::fromUtf8(QJsonDocument(QJsonArray{found}).toJson(QJsonDocument::Compact)));
    }

    void expectText(const QString& place, const QString& member, const QString& found)
    {
        const auto written = last_.find(place);
        if (written != last_.end() && found != passName(written->second))
            lost_.append(place + u' ' + member + u": wrote \""_s + passName(written->second) +
                         u"\", found \""_s + found + u'"');
    }

    QString lockPath() const { return folder_ + u'/' + SessionDocumentFile::lockFileName(); }

    void rewriteSession(qint64 number)
    {
        const QString place = u"metadata.json"_s;
        const QString path = folder_ + u'/' + place;
        SessionDocumentFile::update(path, [&](SessionMetadata& document) {
            expectText(place, u"active_app_name"_s, document.activeAppName);
            document.activeAppName = passName(number);
        });
        {
            const FileLock lock(lockPath());
            QJsonObject stored = readStored(path);
            expect(place, counterMember, stored.value(counterMember));
            stored.insert(counterMember, number);
            QJsonArray entries = stored.value(u"live_chunks"_s).toArray();
            for (qsizetype at = 0; at < entries.size(); ++at) {
                QJsonObject entry = entries.at(at).toObject();
                const QString entryPlace = u"live_chunks/"_s + entry.value(u"file_path"_s).toString();
                expect(entryPlace, counterMember, entry.value(counterMember));
                entry.insert(counterMember, number);
                entries.replace(at, entry);
                last_[entryPlace] = number;
            }
            if (stored.contains(u"live_chunks"_s))
                stored.insert(u"live_chunks"_s, entries);
            JsonDocumentFile::write(path, stored);
        }
        last_[place] = number;
    }

    void rewriteChunk(const QString& place, qint64 number)
    {
        const QString path = folder_ + u'/' + place;
        SessionDocumentFile::updateChunk(path, [&](RecordingChunkMetadata& chunk) {
            expect(place, u"clock_round_trip_ms"_s,
                   chunk.clockRoundTripMilliseconds ? QJsonValue(*chunk.clockRoundTripMilliseconds)
                                                    : QJsonValue(QJsonValue::Undefined));
            chunk.clockRoundTripMilliseconds = static_cast<double>(number);
        });
        {
            const FileLock lock(lockPath());
            QJsonObject stored = readStored(path);
            expect(place, counterMember, stored.value(counterMember));
            stored.insert(counterMember, number);
            JsonDocumentFile::write(path, stored);
        }
        last_[place] = number;
    }

    static QJsonObject readStored(const QString& path)
    {
        const JsonDocumentFile::ReadResult stored = JsonDocumentFile::read(path);
        if (stored.status != JsonDocumentFile::ReadResult::Status::ok)
            throw EbbcastError(path + u" could not be read: "_s + stored.problem);
        return stored.object;
    }

    QString folder_;
    std::map<QString, qint64> last_;
    QStringList lost_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: ebbcast_session_document_probe SESSION_FOLDER\n");
        return 1;
    }
    Rewriter rewriter(QString::fromLocal8Bit(argv[1]));
    qint64 passes = 0;
    try {
        do {
            rewriter.pass(++passes);
            std::printf("pass %lld\n", static_cast<long long>(passes));
            std::fflush(stdout);
        } while (!stopRequested());
    } catch (const EbbcastError& error) {
        std::fprintf(stderr, "pass %lld failed: %s\n", static_cast<long long>(passes),
                     error.description().toLocal8Bit().constData());
        return 2;
    }
    const QJsonObject report = rewriter.report(passes);
    std::printf("%s\n", QJsonDocument(report).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
    return 0;
}
