#include "app/AppDelegate.h"
#include "app/DashboardWindowController.h"
#include "app/DesktopShell.h"
#include "app/FakeAppComponents.h"
#include "app/MenuBarController.h"
#include "app/MiniRecorderWindowController.h"
#include "app/RecordingOverlayController.h"
#include "app/SessionControl.h"
#include "capture/AudioActivityMonitor.h"
#include "capture/MicrophoneUsageMonitor.h"
#include "core/base/EbbcastError.h"
#include "core/documents/SessionMetadata.h"
#include "core/documents/WrapUpSessionMetadata.h"
#include "model/EbbcastAppModel.h"
#include "session/RecordingSession.h"
#include "support/RunTask.h"
#include "support/TemporaryFolder.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace ebbcast {
namespace {

// The application with its tray, menu and windows, on fake devices and services.
class AppDelegateDesktopTest : public ::testing::Test {
protected:
    AppDelegateDesktopTest()
    {
        settings({});
        components_.withTray = true;
    }

    void settings(QJsonObject values)
    {
        values.insert(u"clockSyncEnabled"_s, false);
        values.insert(u"recordingFolderPath"_s, folder_.file(u"Recordings"_s));
        test::TemporaryFolder::writeAll(folder_.file(u"config/settings.json"_s),
                                        QJsonDocument(values).toJson());
    }

    void launch()
    {
        delegate_.launch();
        ASSERT_NE(delegate_.desktop(), nullptr);
    }

    static bool waitFor(const std::function<bool()>& done, int milliseconds = 10000)
    {
        QDeadlineTimer deadline(milliseconds);
        while (!done() && !deadline.hasExpired())
            QTest::qWait(5);
        return done();
    }

    void record()
    {
        delegate_.startRecording(false);
        ASSERT_TRUE(waitFor([&] { return delegate_.session()->isRecording(); }));
    }

    // Starts a wrap-up note from the menu and waits until it records.
    void startNote()
    {
        QCoro::Task<> starting = shell().menu().performWrapUp();
        Q_UNUSED(starting);
        ASSERT_TRUE(waitFor([&] { return shell().menu().isWrapUpRecording(); }))
            << components_.menuAlerts.shown.join(u'\n').toStdString();
    }

    void stopNote()
    {
        QCoro::Task<> stopping = shell().menu().performStopWrapUp();
        Q_UNUSED(stopping);
        ASSERT_TRUE(waitFor([&] { return !shell().isWrapUpActive(); }));
    }

    // A session a test left running (or starting) is stopped: the delegate keeps its components for a stop
    // that never ends, which a test must not leave behind.
    void TearDown() override
    {
        if (!delegate_.isLaunched())
            return;
        waitFor([&] { return !delegate_.session()->isTransitioning(); }, 30000);
        if (delegate_.session()->isRecording())
            delegate_.stopRecording();
        EXPECT_TRUE(waitFor([&] { return !delegate_.isRecordingOrTransitioning(); }, 30000));
    }

    std::optional<WrapUpSessionMetadata> storedNote(const QString& folder) const
    {
        const auto stored = SessionMetadata::fromJson(
            QJsonDocument::fromJson(test::TemporaryFolder::readAll(folder + u"/metadata.json"_s)).object());
        return stored ? stored->wrapUp : std::nullopt;
    }

    DesktopShell& shell() const { return *delegate_.desktop(); }

    test::TemporaryFolder folder_;
    test::FakeComponents components_{folder_};
    int exitStatus_ = -1;
    AppDelegate delegate_{components_, {.quit = {.stopLimit = 30s, .exit = [this](int status) {
                                                     exitStatus_ = status;
                                                 }}}};
};

TEST_F(AppDelegateDesktopTest, TheTrayCarriesTheMenuAndALaunchAgainBringsTheWindowsForward)
{
    launch();
    const qsizetype tray = components_.created.indexOf(u"tray"_s);
    EXPECT_EQ(components_.created.indexOf(u"desktop"_s), tray + 1);
    EXPECT_EQ(delegate_.trayIcon()->startAction(), nullptr) << "the provisional menu is replaced";
    EXPECT_TRUE(shell().menu().startItem()->isVisible());
    EXPECT_FALSE(shell().menu().stopItem()->isVisible());

    // Idle: the dashboard alone.
    delegate_.reopen();
    EXPECT_TRUE(shell().dashboard().isShown());
    EXPECT_FALSE(shell().miniController().isVisible());
    shell().dashboard().hide();

    // Recording: the menu follows at once, the overlay shows, and a launch brings the mini controller too.
    record();
    EXPECT_FALSE(shell().menu().startItem()->isVisible());
    EXPECT_TRUE(waitFor([&] { return shell().menu().stopItem()->isEnabled(); }))
        << "once the start has ended";
    ASSERT_TRUE(waitFor([&] { return !shell().overlay().windows().empty(); }));
    delegate_.reopen();
    EXPECT_TRUE(shell().dashboard().isShown());
    EXPECT_TRUE(shell().miniController().isVisible());

    // The levels of the capture threads reach the overlay, the last one shown.
    delegate_.session()->onMicLevel(0.2F);
    delegate_.session()->onMicLevel(0.6F);
    EXPECT_TRUE(waitFor([&] { return shell().overlay().micLevel() > 0; }));

    delegate_.stopRecording();
    ASSERT_TRUE(waitFor([&] { return !delegate_.session()->isRecording(); }));
    EXPECT_TRUE(shell().overlay().windows().empty());
    EXPECT_TRUE(shell().menu().startItem()->isVisible());
}

// The note's stop brought the sound monitor back; its own voice must not begin a new session.
TEST_F(AppDelegateDesktopTest, NothingStartsASessionWhileAWrapUpNoteRecords)
{
    settings({{u"autoStartRecording"_s, true}});
    launch();
    record();
    const QString session = delegate_.session()->currentSessionFolder().value_or(QString());
    const int startsBefore = components_.script.starts;
    startNote();
    EXPECT_EQ(storedNote(session)->status, WrapUpSessionMetadata::pending().status);

    for (int buffer = 0; buffer < 30; ++buffer) {
        components_.audioEngine->deliver(1, 1024, 0.9F);
        QTest::qWait(2);
    }
    QTest::qWait(50);
    EXPECT_EQ(components_.script.starts, startsBefore) << "no track started while the note records";
    EXPECT_TRUE(delegate_.microphoneUsageMonitor()->isRecordingProvider()) << "no prompt either";
    SessionControl control(delegate_, {});
    EXPECT_THROW(test::runTask(control.start()), EbbcastError);

    stopNote();
    const std::optional<WrapUpSessionMetadata> note = storedNote(session);
    ASSERT_TRUE(note.has_value());
    EXPECT_EQ(note->status, WrapUpSessionMetadata::complete({}, {}).status);
    EXPECT_EQ(note->filePath, session + u"/wrap_up.mov"_s);

    // With the note done, sound starts a session again.
    ASSERT_TRUE(waitFor([&] {
        components_.audioEngine->deliver(1, 1024, 0.9F);
        return delegate_.session()->isRecording();
    }));
}

// The session stopped for a note is completed at once (its final transcript is due) and uploads once the note
// is in it.
TEST_F(AppDelegateDesktopTest, AStopForAWrapUpNoteHoldsTheUploadBackUntilTheNoteEnds)
{
    settings({{u"googleUploadEnabled"_s, true}});
    launch();
    record();
    const QString session = delegate_.session()->currentSessionFolder().value_or(QString());
    startNote();
    EbbcastAppModel& model = *delegate_.model();
    EXPECT_EQ(model.lastSessionFolder(), session);
    QTest::qWait(200);
    EXPECT_FALSE(model.statusMessage().startsWith(u"Upload failed"_s)) << "no upload while the note records";

    stopNote();
    // The upload is asked for now (and fails: nobody is signed in).
    EXPECT_TRUE(waitFor([&] { return model.statusMessage().startsWith(u"Upload failed"_s); }))
        << model.statusMessage().toStdString();
}

TEST_F(AppDelegateDesktopTest, AQuitWhileAWrapUpNoteRecordsFinishesTheNoteFirst)
{
    launch();
    record();
    const QString session = delegate_.session()->currentSessionFolder().value_or(QString());
    startNote();

    delegate_.quitCoordinator().requestQuit(QuitReason::menu());
    ASSERT_TRUE(waitFor([&] { return exitStatus_ >= 0; }));
    EXPECT_EQ(exitStatus_, 0);
    const std::optional<WrapUpSessionMetadata> note = storedNote(session);
    ASSERT_TRUE(note.has_value());
    EXPECT_EQ(note->filePath, session + u"/wrap_up.mov"_s) << note->status.toStdString();
}

TEST_F(AppDelegateDesktopTest, CopyingTheTranscriptFillsTheClipboardOrSaysWhyNot)
{
    launch();
    EbbcastAppModel& model = *delegate_.model();
    const QString transcript = folder_.file(u"transcript.md"_s);
    test::TemporaryFolder::writeAll(transcript, "Hallo — zusammen\n");
    model.setLastTranscriptURL(transcript);
    shell().copyLastTranscript();
    EXPECT_EQ(components_.copied, QStringList{u"Hallo — zusammen\n"_s});
    EXPECT_EQ(model.transcriptDetail(), u"Transcript copied to the clipboard."_s);

    QFile::remove(transcript);
    shell().copyLastTranscript();
    EXPECT_EQ(components_.copied.size(), 1);
    EXPECT_EQ(model.transcriptStatus(), u"Transcript error"_s);
    EXPECT_TRUE(model.transcriptDetail().startsWith(u"Could not copy transcript: "_s));
}

} // namespace
} // namespace ebbcast
