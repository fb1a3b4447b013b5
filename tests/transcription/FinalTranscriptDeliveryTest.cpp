#include "TranscriptSetFixtures.h"
#include "core/base/DriveWebLinks.h"
#include "core/base/Logger.h"
#include "core/base/RetryTimer.h"
#include "drive/DriveTestBed.h"
#include "drive/UploadManager.h"
#include "drive/UploadStateFile.h"
#include "relay/CorvanePelkoNotifier.h"
#include "support/FakeRelayServer.h"
#include "support/RunTask.h"
#include "transcription/FinalTranscriptWriter.h"
#include "transcription/FinalizerAdapters.h"
#include "transcription/TranscriptFinalizationState.h"
#include "transcription/TranscriptFinalizer.h"
#include "transcription/UploadStateRecord.h"

#include <QDir>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

class NoStatus final : public TranscriptStatusSink {
public:
    QString status;
    void setTranscriptStatus(const QString& shown, const QString&) override { status = shown; }
    void setLastTranscriptURL(const QString&) override {}
    void setLastTranscriptDriveFolderID(const std::optional<QString>&) override {}
};

// The finalizer with the real upload manager and relay notifier, against the strict fake Drive and relay.
TEST(FinalTranscriptDeliveryTest, TheFiveDocumentsReachDriveAndTheThreadHearsOnceWithTheCleanTranscript)
{
    const QString relayToken = u"relay-token-815"_s;
    test::DriveTestBed bed;
    Logger logger{bed.folder.file(u"log/app.log"_s)};
    const QString recordings = bed.folder.file(u"recordings"_s);
    const QString session = test::makeLongSession(recordings, 2, 60);
    test::TemporaryFolder::writeAll(session + u"/metadata.json"_s,
                                    QJsonDocument(test::longSessionMetadata(2).toJson()).toJson());

    UploadManager uploads({true, u"root-folder"_s, QString(), u"rec-7"_s}, *bed.client, logger);
    test::FakeHttpServer relayServer;
    test::FakeRelayServer relay(relayToken);
    relayServer.setModel(relay);
    QNetworkAccessManager network;
    const DriveWebLinks links(QUrl(u"https://drive.example"_s));
    CorvanePelkoNotifier notifier(
        CorvanePelkoNotifier::Config{.endpoint = relayServer.url(u"/corvane/api/v1/pelko/notify"_s),
                                     .recorderID = u"rec-7"_s,
                                     .recorderName = u"Desk"_s,
                                     .pelkoUserID = {}},
        logger, network, links, [&relayToken] { return relayToken; },
        CorvanePelkoNotifier::Timing{.exchangeDeadline = 10s, .clock = systemTime});

    FinalTranscriptWriter writer(
        {u"rec-7"_s}, logger,
        [&logger](const QString& folder) {
            return std::optional(transcriptDriveRecord(UploadStateFile(folder, logger).load()));
        },
        [&links](const QString& id) { return links.fileLink(id); });
    UploadManagerFileUploader uploader(uploads);
    RelayTranscriptAnnouncer announcer(notifier);
    NoStatus status;
    QtRetryTimer timer;
    TranscriptFinalizer finalizer({true, true, recordings},
                                  {writer, uploader, announcer, status, timer, logger});

    test::runTask(finalizer.finalizeSessionTranscriptIfReady(session, 0));
    test::runTask(finalizer.finalizeSessionTranscriptIfReady(session, 0)); // a later call changes nothing
    EXPECT_EQ(status.status, u"Ready and uploaded"_s);
    EXPECT_TRUE(finalizer.isIdle());

    const UploadState state = UploadStateFile(session, logger).load();
    const auto finalFolder = state.driveFolder(DriveSubfolderKey::finalTranscript);
    ASSERT_TRUE(finalFolder);
    QStringList names;
    for (const auto& item : bed.drive.items()) {
        if (item.parentID == *finalFolder && !item.trashed)
            names.append(item.name);
    }
    names.sort();
    EXPECT_EQ(names, (QStringList{u"2026-12-12_08-00-00 - 00 Session Brief.md"_s,
                                  u"2026-12-12_08-00-00 - 01 Clean Transcript.md"_s,
                                  u"2026-12-12_08-00-00 - 02 Timeline.json"_s,
                                  u"2026-12-12_08-00-00 - 03 Raw Transcript.md"_s,
                                  u"2026-12-12_08-00-00 - 04 Provenance.json"_s}));

    EXPECT_TRUE(relay.violations().isEmpty()) << relay.violations().join(u"\n"_s).toStdString();
    ASSERT_EQ(relay.threads().size(), 1);
    int ready = 0;
    QByteArray body;
    for (const auto& message : relay.threads().front().messages) {
        if (message.event == QLatin1StringView(RelayEvent::transcriptReady)) {
            ++ready;
            body = message.body;
        }
    }
    EXPECT_EQ(ready, 1);
    const QString cleanID = state.uploadedFiles.at(u"transcripts/01 Clean Transcript.md"_s).driveFileID;
    EXPECT_TRUE(body.contains(cleanID.toUtf8())) << body.toStdString();
}

// The application and a command-line run finalizing one session at once: they take turns, so the set is
// written whole each time and the relay hears once.
TEST(FinalTranscriptDeliveryTest, TwoProcessesOnOneSessionTakeTurnsAndAnnounceOnce)
{
    test::TemporaryFolder root;
    const QString session = test::makeLongSession(root.path(), 3, 2000);
    test::TemporaryFolder::writeAll(session + u"/metadata.json"_s,
                                    QJsonDocument(test::longSessionMetadata(3).toJson()).toJson());
    const QString notices = root.file(u"notices.txt"_s);

    std::vector<std::unique_ptr<QProcess>> probes;
    for (int index = 0; index < 2; ++index) {
        auto probe = std::make_unique<QProcess>();
        probe->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        probe->start(QStringLiteral(EBBCAST_TRANSCRIPT_FINALIZER_PROBE),
                     {session, notices, u"400"_s, root.file(u"log/probe-%1.log"_s.arg(index))});
        probes.push_back(std::move(probe));
    }
    for (auto& probe : probes) {
        ASSERT_TRUE(probe->waitForFinished(60'000));
        EXPECT_EQ(probe->exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(probe->exitCode(), 0);
    }

    EXPECT_EQ(test::TemporaryFolder::readAll(notices).count('\n'), 1);
    Logger logger(root.file(u"log/test.log"_s));
    const auto state = TranscriptFinalizationStateFile(session, logger).read();
    ASSERT_TRUE(state);
    EXPECT_TRUE(state->notificationSentAt);
    const QStringList leftovers =
        QDir(session + u"/transcripts"_s).entryList({u".ebbcast_*"_s}, QDir::Files | QDir::Hidden);
    EXPECT_TRUE(leftovers.isEmpty()) << leftovers.join(u", "_s).toStdString();
    int runs = 0;
    for (int index = 0; index < 2; ++index) {
        const QString log =
            QString::fromUtf8(test::TemporaryFolder::readAll(root.file(u"log/probe-%1.log"_s.arg(index))));
        runs += static_cast<int>(log.count(u"Final transcript artifacts ready"_s));
    }
    EXPECT_EQ(runs, 2);
}

} // namespace
} // namespace ebbcast
