#include "app/ColourContrast.h"
#include "app/DashboardView.h"
#include "app/DashboardWindowController.h"
#include "app/LevelMeter.h"
#include "app/RunStatePill.h"
#include "model/EbbcastAppModel.h"
#include "support/ShellWindowTesting.h"
#include "support/TemporaryFolder.h"
#include "support/TimingScale.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <set>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

using test::onXDisplay;
using test::waitUntil;

// A screenshot shows a dashboard, not an empty or one-coloured window: many colours, and a good share of
// pixels unlike the window's background.
void expectNotBlank(const QImage& picture, const QColor& background)
{
    ASSERT_FALSE(picture.isNull());
    QSet<QRgb> colours;
    qint64 differing = 0;
    qint64 counted = 0;
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); x += 2) {
            const QRgb pixel = picture.pixel(x, y);
            colours.insert(pixel & 0xF0F0F0);
            ++counted;
            if (std::abs(qRed(pixel) - background.red()) + std::abs(qGreen(pixel) - background.green()) +
                    std::abs(qBlue(pixel) - background.blue()) >
                30)
                ++differing;
        }
    EXPECT_GE(colours.size(), 12) << "colours in the picture";
    EXPECT_GE(static_cast<double>(differing) / static_cast<double>(counted), 0.10)
        << "share of pixels unlike the background";
}

double meanLuminance(const QImage& picture)
{
    double sum = 0;
    int count = 0;
    for (int y = 0; y < picture.height(); y += 4)
        for (int x = 0; x < picture.width(); x += 4, ++count)
            sum += relativeLuminance(picture.pixelColor(x, y));
    return sum / count;
}

// A dark desktop theme's palette.
QPalette darkPalette()
{
    QPalette palette;
    const QColor window(0x20, 0x21, 0x24);
    const QColor text(0xe8, 0xea, 0xed);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, QColor(0x2b, 0x2c, 0x30));
    palette.setColor(QPalette::AlternateBase, QColor(0x33, 0x34, 0x38));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3c, 0x40, 0x43));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, QColor(0x8a, 0xb4, 0xf8));
    palette.setColor(QPalette::HighlightedText, window);
    palette.setColor(QPalette::Light, QColor(0x5f, 0x63, 0x68));
    palette.setColor(QPalette::Midlight, QColor(0x4a, 0x4d, 0x51));
    palette.setColor(QPalette::Mid, QColor(0x3c, 0x40, 0x43));
    palette.setColor(QPalette::Dark, QColor(0x17, 0x18, 0x1b));
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0xa0, 0xa6));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x86, 0x8b));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x86, 0x8b));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x86, 0x8b));
    return palette;
}

// Sets the application's palette for a scope.
class ApplicationPalette {
public:
    explicit ApplicationPalette(const QPalette& palette)
        : saved_(QApplication::palette())
    {
        QApplication::setPalette(palette);
    }
    ~ApplicationPalette() { QApplication::setPalette(saved_); }

private:
    QPalette saved_;
};

class DashboardTest : public ::testing::Test {
protected:
    DashboardTest()
        : model_(QUrl(u"http://127.0.0.1:9"_s))
        , controller_(model_, actions(), sources())
    {}

    DashboardActions actions()
    {
        const auto record = [this](const QString& name) {
            return [this, name] {
                calls_.append(name);
            };
        };
        return {record(u"startRecording"_s),
                record(u"stopRecording"_s),
                record(u"toggleRecordingIndicators"_s),
                record(u"wrapUp"_s),
                record(u"createMarker"_s),
                record(u"connectGoogle"_s),
                record(u"uploadLastSession"_s),
                record(u"openLastDriveFolder"_s),
                record(u"openMiniController"_s),
                record(u"openSessionsFolder"_s),
                record(u"openTranscript"_s),
                record(u"copyTranscript"_s),
                record(u"openTranscriptDriveFolder"_s)};
    }

    DashboardSources sources()
    {
        DashboardSources sources;
        sources.recordingsFolder = [this] {
            return recordingsFolder_;
        };
        sources.readiness = [this] {
            return readiness_;
        };
        sources.revealFolder = [this](const QString& folder) {
            revealed_.append(folder);
        };
        return sources;
    }

    void showAndWait()
    {
        controller_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(controller_.window()));
    }

    QWidget* window() const { return controller_.window(); }
    DashboardView* view() const { return controller_.view(); }

    template <typename T = QWidget>
    T* part(const QString& name) const
    {
        T* found = view() != nullptr ? view()->findChild<T*>(name) : nullptr;
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }
    QString text(const QString& label) const
    {
        const QLabel* found = part<QLabel>(label);
        return found != nullptr ? found->text() : QString();
    }
    QPushButton* button(const QString& name) const { return part<QPushButton>(name); }

    // A session folder in the recordings folder, with its document unless told otherwise.
    QString addSession(const QString& name, bool withDocument = true)
    {
        const QString path = QDir(recordings_.path()).absoluteFilePath(name);
        EXPECT_TRUE(QDir().mkpath(path));
        if (withDocument)
            test::TemporaryFolder::writeAll(path + u"/metadata.json"_s, "{}");
        return path;
    }

    // Everything that can be used is usable: a recording, a Drive folder, a transcript, Google not connected.
    void enableEverything()
    {
        model_.setState(EbbcastRunState::recording);
        model_.setLastUploadedDriveFolderID(u"folder-1"_s);
        model_.setLastTranscriptURL(u"/tmp/transcript.md"_s);
        model_.setLastTranscriptDriveFolderID(u"folder-2"_s);
    }

    EbbcastAppModel model_;
    test::TemporaryFolder recordings_;
    QString recordingsFolder_ = recordings_.path();
    std::vector<DeviceReadiness> readiness_;
    QStringList calls_;
    QStringList revealed_;
    DashboardWindowController controller_;
};

TEST_F(DashboardTest, ATitledResizableWindowCentredOnceThenReusedAndHiddenByEscapeOrClosing)
{
    EXPECT_EQ(window(), nullptr) << "made on the first show";
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    QWidget* shown = window();
    EXPECT_EQ(shown->windowTitle(), u"Ebbcast"_s);
    EXPECT_EQ(shown->size(), QSize(760, 680));
    const Qt::WindowFlags flags = shown->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMaximizeButtonHint));
    EXPECT_NE(shown->minimumSize(), shown->maximumSize()) << "resizable";
    EXPECT_GT(shown->maximumWidth(), 760);
    const QPoint offCentre =
        shown->geometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(std::abs(offCentre.x()), 64);
    EXPECT_LE(std::abs(offCentre.y()), 64);
    // Everything fits the window as made: no scrolling.
    auto* scroll = shown->findChild<QScrollArea*>();
    ASSERT_NE(scroll, nullptr);
    EXPECT_FALSE(scroll->verticalScrollBar()->isVisible())
        << "content height " << view()->minimumSizeHint().height();
    EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible())
        << "content width " << view()->minimumSizeHint().width();

    // Escape, wherever the focus is, hides the window; showing again brings back the same one, where it was.
    button(u"uploadLastSessionButton"_s)->setFocus();
    const QRect placed = shown->geometry();
    QTest::keyClick(shown->focusWidget() != nullptr ? shown->focusWidget() : shown, Qt::Key_Escape);
    EXPECT_FALSE(shown->isVisible());
    EXPECT_FALSE(controller_.isShown());
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_EQ(window(), shown);
    EXPECT_EQ(shown->size(), placed.size());
    if (onXDisplay()) {
        EXPECT_LE((shown->geometry().center() - placed.center()).manhattanLength(), 64);
    }

    EXPECT_TRUE(shown->close());
    EXPECT_FALSE(controller_.isShown());
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_EQ(window(), shown);
    controller_.hide();
    EXPECT_FALSE(controller_.isShown());
}

TEST_F(DashboardTest, ShowingRaisesAndActivatesTheWindow)
{
    if (!onXDisplay())
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_TRUE(QTest::qWaitForWindowActive(window()));
    QWidget other;
    other.setGeometry(window()->geometry());
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));

    controller_.show();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window()));
    window()->showMinimized();
    EXPECT_TRUE(waitUntil([&] { return window()->isMinimized() || !window()->isActiveWindow(); }));
    controller_.show();
    EXPECT_FALSE(window()->isMinimized());
    EXPECT_TRUE(QTest::qWaitForWindowActive(window()));
}

TEST_F(DashboardTest, ModelChangesReachTheStateTheMetersAndTheCards)
{
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_EQ(text(u"subtitle"_s), u"Quiet desktop capture for AI workflows"_s);

    auto* pill = part<RunStatePill>(u"runState"_s);
    EXPECT_EQ(pill->text(), u"Idle"_s);
    EXPECT_EQ(text(u"statusMessage"_s), u"Ready"_s);
    EXPECT_EQ(text(u"elapsedTime"_s), u"00:00:00"_s);
    model_.setState(EbbcastRunState::recording);
    EXPECT_EQ(pill->text(), u"Recording"_s);
    EXPECT_EQ(pill->state(), EbbcastRunState::recording);
    EXPECT_EQ(pill->accessibleName(), u"Run state: Recording"_s);
    const QDateTime start(QDate(2024, 3, 1), QTime(10, 0));
    model_.setSessionStartDate(start);
    model_.setElapsedNow(start.addMSecs(3725900));
    EXPECT_EQ(text(u"elapsedTime"_s), u"01:02:05"_s);
    model_.setStatusMessage(u"Recording separate screen, mic, and system audio streams."_s);
    EXPECT_EQ(text(u"statusMessage"_s), u"Recording separate screen, mic, and system audio streams."_s);

    // The meters show the model's meter values: a recorder level of 0.05 is 60 %.
    auto* microphone = part<LevelMeter>(u"microphoneMeter"_s);
    auto* systemAudio = part<LevelMeter>(u"systemAudioMeter"_s);
    EXPECT_EQ(text(u"microphoneMeterLabel"_s), u"Microphone"_s);
    EXPECT_EQ(text(u"systemAudioMeterLabel"_s), u"System Audio"_s);
    model_.setMicLevelFromRecorder(0.05);
    model_.setSystemLevelFromRecorder(0.5);
    EXPECT_EQ(microphone->percent(), 60);
    EXPECT_EQ(microphone->valueText(), u"60 %"_s);
    EXPECT_EQ(systemAudio->percent(), 100);
    for (const auto& [meter, name, value] : {std::tuple{microphone, u"Microphone level"_s, 60},
                                             std::tuple{systemAudio, u"System Audio level"_s, 100}}) {
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(meter);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->role(), QAccessible::ProgressBar);
        EXPECT_EQ(accessible->text(QAccessible::Name), name);
        EXPECT_EQ(accessible->text(QAccessible::Value), QString::number(value) + u" %"_s);
        QAccessibleValueInterface* valueInterface = accessible->valueInterface();
        ASSERT_NE(valueInterface, nullptr);
        EXPECT_EQ(valueInterface->currentValue().toInt(), value);
        EXPECT_EQ(valueInterface->minimumValue().toInt(), 0);
        EXPECT_EQ(valueInterface->maximumValue().toInt(), 100);
    }

    // The Drive card.
    EXPECT_EQ(text(u"driveConnection"_s), u"Google Drive archive not connected"_s);
    EXPECT_EQ(button(u"connectGoogleButton"_s)->text(), u"Connect Google Drive"_s);
    EXPECT_TRUE(button(u"connectGoogleButton"_s)->isEnabled());
    model_.setGoogleConnected(true);
    EXPECT_EQ(text(u"driveConnection"_s), u"Google Drive archive connected"_s);
    EXPECT_EQ(button(u"connectGoogleButton"_s)->text(), u"Connected to Google Drive"_s);
    EXPECT_FALSE(button(u"connectGoogleButton"_s)->isEnabled());
    EXPECT_EQ(text(u"lastUploadStatus"_s), u"No uploads yet"_s);
    EXPECT_EQ(text(u"driveDeliveryDetail"_s), u"No Drive delivery yet"_s);
    model_.setLastUploadStatus(u"Uploaded 2024-03-01_10-00-00"_s);
    model_.setDriveDeliveryDetail(u"7 files in the session's Drive folder."_s);
    EXPECT_EQ(text(u"lastUploadStatus"_s), u"Uploaded 2024-03-01_10-00-00"_s);
    EXPECT_EQ(text(u"driveDeliveryDetail"_s), u"7 files in the session's Drive folder."_s);
    EXPECT_EQ(text(u"uploadedFiles"_s), u"Uploaded files: 0"_s);
    model_.setDriveUploadedFileCount(7);
    EXPECT_EQ(text(u"uploadedFiles"_s), u"Uploaded files: 7"_s);

    const auto indicator = [&](const QString& name) {
        return part<QWidget>(name)->accessibleName();
    };
    EXPECT_EQ(indicator(u"deliveryIndicator"_s), u"No delivery in progress"_s);
    model_.setUploadQueueCount(2);
    model_.setTranscriptionQueueCount(3);
    EXPECT_EQ(text(u"uploadQueue"_s), u"Upload queue: 2"_s);
    EXPECT_EQ(text(u"transcriptionQueue"_s), u"Transcription queue: 3"_s);
    EXPECT_EQ(indicator(u"deliveryIndicator"_s), u"Delivering to Google Drive"_s);
    model_.setUploadQueueCount(0);
    EXPECT_EQ(indicator(u"deliveryIndicator"_s), u"No delivery in progress"_s);
    model_.setState(EbbcastRunState::uploading);
    EXPECT_EQ(indicator(u"deliveryIndicator"_s), u"Delivering to Google Drive"_s);
    EXPECT_EQ(indicator(u"processingIndicator"_s), u"No Drive processing pending"_s);
    model_.setDriveDeliveryIsProcessing(true);
    EXPECT_EQ(indicator(u"processingIndicator"_s), u"Google Drive is processing the videos"_s);
    EXPECT_FALSE(button(u"openLastDriveFolderButton"_s)->isEnabled());
    model_.setLastUploadedDriveFolderID(u"folder-1"_s);
    EXPECT_TRUE(button(u"openLastDriveFolderButton"_s)->isEnabled());

    // The final-transcript card.
    EXPECT_EQ(text(u"transcriptTitle"_s), u"Final Transcript"_s);
    EXPECT_EQ(text(u"transcriptStatus"_s), u"No final transcript yet"_s);
    EXPECT_EQ(text(u"transcriptDetail"_s),
              u"Final transcript is created after all session chunks finish processing."_s);
    for (const QString& name :
         {u"openTranscriptButton"_s, u"copyTranscriptButton"_s, u"openTranscriptDriveFolderButton"_s})
        EXPECT_FALSE(button(name)->isEnabled()) << name.toStdString();
    model_.setTranscriptStatus(u"Final transcript ready"_s);
    model_.setTranscriptDetail(u"12 chunks, 48 minutes."_s);
    model_.setLastTranscriptURL(u"/tmp/transcript.md"_s);
    EXPECT_EQ(text(u"transcriptStatus"_s), u"Final transcript ready"_s);
    EXPECT_EQ(text(u"transcriptDetail"_s), u"12 chunks, 48 minutes."_s);
    EXPECT_TRUE(button(u"openTranscriptButton"_s)->isEnabled());
    EXPECT_TRUE(button(u"copyTranscriptButton"_s)->isEnabled());
    EXPECT_FALSE(button(u"openTranscriptDriveFolderButton"_s)->isEnabled());
    model_.setLastTranscriptDriveFolderID(u"folder-2"_s);
    EXPECT_TRUE(button(u"openTranscriptDriveFolderButton"_s)->isEnabled());
    model_.setLastTranscriptURL(std::nullopt);
    EXPECT_FALSE(button(u"openTranscriptButton"_s)->isEnabled());
}

TEST_F(DashboardTest, EveryButtonCallsItsAction)
{
    enableEverything();
    const QString session = addSession(u"2024-03-01_10-00-00"_s);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    const std::vector<std::pair<QString, QString>> buttons = {
        {u"startStopButton"_s, u"stopRecording"_s},
        {u"overlayButton"_s, u"toggleRecordingIndicators"_s},
        {u"wrapUpButton"_s, u"wrapUp"_s},
        {u"markerButton"_s, u"createMarker"_s},
        {u"miniControllerButton"_s, u"openMiniController"_s},
        {u"connectGoogleButton"_s, u"connectGoogle"_s},
        {u"uploadLastSessionButton"_s, u"uploadLastSession"_s},
        {u"openLastDriveFolderButton"_s, u"openLastDriveFolder"_s},
        {u"openTranscriptButton"_s, u"openTranscript"_s},
        {u"copyTranscriptButton"_s, u"copyTranscript"_s},
        {u"openTranscriptDriveFolderButton"_s, u"openTranscriptDriveFolder"_s},
        {u"openSessionsFolderButton"_s, u"openSessionsFolder"_s},
    };
    for (const auto& [name, action] : buttons) {
        calls_.clear();
        QPushButton* pressed = button(name);
        ASSERT_NE(pressed, nullptr);
        ASSERT_TRUE(pressed->isEnabled()) << name.toStdString();
        QTest::mouseClick(pressed, Qt::LeftButton);
        EXPECT_EQ(calls_, QStringList{action}) << name.toStdString();
    }
    calls_.clear();
    model_.setState(EbbcastRunState::idle);
    QTest::mouseClick(button(u"startStopButton"_s), Qt::LeftButton);
    EXPECT_EQ(calls_, QStringList{u"startRecording"_s});

    // From the keyboard too.
    calls_.clear();
    auto* reveal = part<QPushButton>(u"revealSessionButton"_s);
    ASSERT_NE(reveal, nullptr);
    reveal->setFocus();
    QTest::keyClick(reveal, Qt::Key_Space);
    EXPECT_EQ(revealed_, QStringList{session});
    EXPECT_TRUE(calls_.isEmpty());
}

TEST_F(DashboardTest, RecordingControlsFollowTheRunStateAndAStartOrStopUnderWay)
{
    // A start under way before the window exists is shown when it is made.
    controller_.setTransition(RecordingTransition::starting);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    struct Expected {
        EbbcastRunState state;
        RecordingTransition transition;
        QString startStop;
        bool startStopEnabled;
        bool overlayEnabled;
        QString wrapUp;
        bool wrapUpEnabled;
        bool markerEnabled;
    };
    using enum EbbcastRunState;
    using T = RecordingTransition;
    const std::vector<Expected> cases = {
        {idle, T::starting, u"Starting…"_s, false, false, u"Wrap Up"_s, false, false},
        {idle, T::none, u"Start Recording"_s, true, false, u"Wrap Up"_s, true, false},
        {recording, T::none, u"Stop Recording"_s, true, true, u"Wrap Up"_s, true, true},
        {paused, T::none, u"Stop Recording"_s, true, true, u"Wrap Up"_s, true, true},
        {recording, T::stopping, u"Stopping…"_s, false, false, u"Wrap Up"_s, false, false},
        {wrapUp, T::none, u"Start Recording"_s, false, false, u"End Wrap Up"_s, true, false},
        {uploading, T::none, u"Start Recording"_s, true, false, u"Wrap Up"_s, true, false},
        {completed, T::none, u"Start Recording"_s, true, false, u"Wrap Up"_s, true, false},
        {error, T::none, u"Start Recording"_s, true, false, u"Wrap Up"_s, true, false},
        {armed, T::none, u"Start Recording"_s, true, false, u"Wrap Up"_s, true, false},
        {aiProcessing, T::none, u"Start Recording"_s, true, false, u"Wrap Up"_s, true, false},
    };
    for (const Expected& expected : cases) {
        SCOPED_TRACE(displayName(expected.state).toStdString() + " " +
                     std::to_string(static_cast<int>(expected.transition)));
        model_.setState(expected.state);
        controller_.setTransition(expected.transition);
        EXPECT_EQ(button(u"startStopButton"_s)->text(), expected.startStop);
        EXPECT_EQ(button(u"startStopButton"_s)->isEnabled(), expected.startStopEnabled);
        EXPECT_EQ(button(u"overlayButton"_s)->isEnabled(), expected.overlayEnabled);
        EXPECT_EQ(button(u"wrapUpButton"_s)->text(), expected.wrapUp);
        EXPECT_EQ(button(u"wrapUpButton"_s)->isEnabled(), expected.wrapUpEnabled);
        EXPECT_EQ(button(u"markerButton"_s)->isEnabled(), expected.markerEnabled);
        // Nothing waits on a recording.
        for (const QString& name :
             {u"miniControllerButton"_s, u"uploadLastSessionButton"_s, u"openSessionsFolderButton"_s})
            EXPECT_TRUE(button(name)->isEnabled()) << name.toStdString();
    }

    model_.setState(EbbcastRunState::recording);
    EXPECT_EQ(button(u"overlayButton"_s)->text(), u"Hide Recording Overlay"_s);
    model_.setRecordingIndicatorsHidden(true);
    EXPECT_EQ(button(u"overlayButton"_s)->text(), u"Show Recording Overlay"_s);
}

TEST_F(DashboardTest, RecentSessionsNewestStartFirstAtMostFiveAndNewOnesAppearWhileShown)
{
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    auto* none = part<QLabel>(u"noSessions"_s);
    EXPECT_EQ(none->text(), u"No sessions yet"_s);
    EXPECT_TRUE(none->isVisible());
    EXPECT_TRUE(view()->shownSessionFolders().isEmpty());
    EXPECT_TRUE(view()->watchedFolders().contains(recordings_.path()));

    // A session appears by itself.
    const QString first = addSession(u"2024-03-01_10-00-00"_s);
    ASSERT_TRUE(waitUntil([&] { return view()->shownSessionFolders() == QStringList{first}; }))
        << view()->shownSessionFolders().join(u' ').toStdString();
    EXPECT_FALSE(none->isVisible());

    // One being created: its folder first, its document a moment later.
    const QString second = addSession(u"2024-03-02_10-00-00"_s, false);
    ASSERT_TRUE(waitUntil([&] { return view()->watchedFolders().contains(second); }));
    EXPECT_EQ(view()->shownSessionFolders(), QStringList{first});
    test::TemporaryFolder::writeAll(second + u"/metadata.json"_s, "{}");
    ASSERT_TRUE(waitUntil([&] {
        return view()->shownSessionFolders() == (QStringList{second, first});
    })) << view()->shownSessionFolders().join(u' ').toStdString();
    EXPECT_FALSE(view()->watchedFolders().contains(second));

    // The older session changed last (an upload state written into it): the order stays by start.
    test::TemporaryFolder::writeAll(first + u"/upload_state.json"_s, "{}");
    const timespec later{std::time(nullptr) + 3600, 0};
    const timespec times[2] = {later, later};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(first).constData(), times, 0), 0);
    controller_.refresh();
    EXPECT_EQ(view()->shownSessionFolders(), (QStringList{second, first}));

    // Five at most, the newest.
    QStringList newest;
    for (int day = 3; day <= 7; ++day)
        newest.prepend(addSession(u"2024-03-0%1_10-00-00"_s.arg(day)));
    ASSERT_TRUE(waitUntil([&] { return view()->shownSessionFolders() == newest; }))
        << view()->shownSessionFolders().join(u' ').toStdString();
    const QList<QWidget*> rows = view()->findChildren<QWidget*>(u"sessionRow"_s);
    ASSERT_EQ(rows.size(), 5);
    const QList<QLabel*> names = view()->findChildren<QLabel*>(u"sessionName"_s);
    ASSERT_EQ(names.size(), 5);
    EXPECT_EQ(names.front()->text(), u"Thu 7 Mar 2024, 10:00:00"_s);
    const QList<QPushButton*> reveals = view()->findChildren<QPushButton*>(u"revealSessionButton"_s);
    ASSERT_EQ(reveals.size(), 5);
    QTest::mouseClick(reveals.back(), Qt::LeftButton);
    EXPECT_EQ(revealed_, QStringList{newest.back()});

    // Hidden, nothing is watched; shown again, what changed meanwhile is there.
    controller_.hide();
    EXPECT_TRUE(view()->watchedFolders().isEmpty());
    const QString whileHidden = addSession(u"2024-03-09_10-00-00"_s);
    QTest::qWait(400);
    EXPECT_EQ(view()->shownSessionFolders(), newest);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_EQ(view()->shownSessionFolders().front(), whileHidden);
    EXPECT_EQ(view()->shownSessionFolders().size(), 5);
}

TEST_F(DashboardTest, ARecordingsFolderThatDoesNotExistYetIsWatchedForFromItsParent)
{
    recordingsFolder_ = recordings_.file(u"Ebbcast/Recordings"_s);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_TRUE(part<QLabel>(u"noSessions"_s)->isVisible());
    EXPECT_EQ(view()->watchedFolders(), QStringList{recordings_.path()});

    ASSERT_TRUE(QDir().mkpath(recordingsFolder_));
    ASSERT_TRUE(waitUntil([&] { return view()->watchedFolders() == QStringList{recordingsFolder_}; }))
        << view()->watchedFolders().join(u' ').toStdString();
    ASSERT_TRUE(QDir().mkpath(recordingsFolder_ + u"/2024-03-01_10-00-00"_s));
    test::TemporaryFolder::writeAll(recordingsFolder_ + u"/2024-03-01_10-00-00/metadata.json"_s, "{}");
    EXPECT_TRUE(waitUntil([&] { return view()->shownSessionFolders().size() == 1; }))
        << view()->watchedFolders().join(u' ').toStdString();
}

TEST_F(DashboardTest, ReadinessSaysReadyOrWhatToDoPerDevice)
{
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_FALSE(part<QWidget>(u"readinessCard"_s)->isVisible()) << "nothing to say yet";

    readiness_ = {{u"Screen"_s, true, u"screen (1920x1080)"_s},
                  {u"Microphone"_s, false, u"No sound input: connect or unmute a microphone."_s},
                  {u"System audio"_s, true, u"Speakers"_s},
                  {u"Camera"_s, false, u"No camera found: connect a camera."_s}};
    controller_.refresh();
    EXPECT_TRUE(part<QWidget>(u"readinessCard"_s)->isVisible());
    EXPECT_EQ(text(u"readinessTitle"_s), u"Recording readiness"_s);
    const auto lines = [&] {
        QStringList shown;
        for (const QWidget* line : view()->findChildren<QWidget*>(u"readinessState"_s))
            shown.append(line->accessibleName());
        return shown;
    };
    EXPECT_EQ(
        lines(),
        (QStringList{u"Screen: Ready"_s, u"Microphone: No sound input: connect or unmute a microphone."_s,
                     u"System audio: Ready"_s, u"Camera: No camera found: connect a camera."_s}));

    // Read again on every show.
    controller_.hide();
    readiness_[1].ready = true;
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_EQ(lines().at(1), u"Microphone: Ready"_s);
}

TEST_F(DashboardTest, MetersRepaintAtMostThirtyTimesASecondAndOnlyWhileShown)
{
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    auto* meter = part<LevelMeter>(u"microphoneMeter"_s);
    test::PaintCounter counter;
    meter->installEventFilter(&counter);
    QTest::qWait(100);
    counter.paints = 0;

    // A level every millisecond or so for a second.
    QElapsedTimer clock;
    clock.start();
    int step = 0;
    while (clock.elapsed() < 1000) {
        model_.setMicLevel((step++ % 97) / 100.0);
        QTest::qWait(1);
    }
    model_.setMicLevel(0.42);
    QTest::qWait(100);
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    EXPECT_LE(counter.paints, static_cast<int>(30 * seconds) + 2) << step << " levels in " << seconds << " s";
    EXPECT_GE(counter.paints, 5) << "the meter follows the level";
    EXPECT_EQ(meter->percent(), 42);

    // Hidden: no painting at all; shown again: the newest level.
    controller_.hide();
    counter.paints = 0;
    for (int index = 0; index < 50; ++index) {
        model_.setMicLevel(index / 100.0);
        QTest::qWait(5);
    }
    QTest::qWait(100);
    EXPECT_EQ(counter.paints, 0);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    EXPECT_TRUE(waitUntil([&] { return counter.paints > 0; }));
    EXPECT_EQ(meter->percent(), 49);
}

TEST_F(DashboardTest, TabReachesEveryControlInReadingOrderEachWithAnAccessibleName)
{
    enableEverything();
    const QString older = addSession(u"2024-03-01_10-00-00"_s);
    const QString newer = addSession(u"2024-03-02_10-00-00"_s);
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    ASSERT_EQ(view()->shownSessionFolders().size(), 2);

    QWidget* first = button(u"startStopButton"_s);
    first->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(window()->focusWidget(), first);
    QList<QWidget*> reached{first};
    for (int step = 0; step < 40; ++step) {
        QTest::keyClick(window()->focusWidget(), Qt::Key_Tab);
        QWidget* focused = window()->focusWidget();
        if (focused == first)
            break;
        reached.append(focused);
    }
    QStringList order;
    for (const QWidget* widget : reached)
        order.append(widget->objectName());
    EXPECT_EQ(order, (QStringList{u"startStopButton"_s, u"overlayButton"_s, u"wrapUpButton"_s,
                                  u"markerButton"_s, u"miniControllerButton"_s, u"connectGoogleButton"_s,
                                  u"uploadLastSessionButton"_s, u"openLastDriveFolderButton"_s,
                                  u"openTranscriptButton"_s, u"copyTranscriptButton"_s,
                                  u"openTranscriptDriveFolderButton"_s, u"openSessionsFolderButton"_s,
                                  u"revealSessionButton"_s, u"revealSessionButton"_s}));

    // Every control of the window is among them, with a name and the role of a button.
    std::set<QWidget*> reachedSet(reached.begin(), reached.end());
    QStringList names;
    for (QAbstractButton* control : window()->findChildren<QAbstractButton*>()) {
        EXPECT_TRUE(reachedSet.count(control) == 1) << control->objectName().toStdString();
        QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->role(), QAccessible::Button) << control->objectName().toStdString();
        const QString name = accessible->text(QAccessible::Name);
        EXPECT_FALSE(name.isEmpty()) << control->objectName().toStdString();
        names.append(name);
    }
    EXPECT_TRUE(names.contains(u"Show session Fri 1 Mar 2024, 10:00:00 in folder"_s))
        << names.join(u", "_s).toStdString();
    EXPECT_TRUE(names.contains(u"Create Marker"_s));
    EXPECT_EQ(names.removeDuplicates(), 0) << "two controls of the same name";
    Q_UNUSED(older);
    Q_UNUSED(newer);
}

// The text colours the labels are drawn in against what lies behind them, as the palette gives them; the
// screen shows that background where the label has no text.
void expectReadableLabels(QWidget* window, const QImage& screen)
{
    int checked = 0;
    for (const QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->isVisible() || label->text().isEmpty())
            continue;
        const QColor text = label->palette().color(label->foregroundRole());
        const QColor background = label->palette().color(label->backgroundRole());
        EXPECT_GE(contrastRatio(text, background), 4.5)
            << label->objectName().toStdString() << ": " << text.name().toStdString() << " on "
            << background.name().toStdString();
        if (!screen.isNull()) {
            const QPoint corner = label->mapTo(window, QPoint(0, 0));
            const QColor shown = screen.pixelColor(corner);
            EXPECT_LE(std::abs(shown.red() - background.red()) +
                          std::abs(shown.green() - background.green()) +
                          std::abs(shown.blue() - background.blue()),
                      6)
                << label->objectName().toStdString() << " lies on " << shown.name().toStdString() << ", not "
                << background.name().toStdString();
        }
        ++checked;
    }
    EXPECT_GE(checked, 20);
    for (const auto* meter : window->findChildren<LevelMeter*>())
        EXPECT_GE(contrastRatio(meter->palette().color(meter->foregroundRole()),
                                meter->palette().color(meter->backgroundRole())),
                  4.5);
    for (const EbbcastRunState state : allRunStates()) {
        const RunStatePill::Colours pill = RunStatePill::colours(state);
        EXPECT_GE(contrastRatio(pill.text, pill.fill), 4.5) << displayName(state).toStdString();
    }
}

TEST_F(DashboardTest, ScreenshotsInLightAndDarkPalettesAreReadable)
{
    if (!onXDisplay())
        GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
    enableEverything();
    model_.setMicLevelFromRecorder(0.05);
    model_.setSystemLevelFromRecorder(0.03);
    model_.setGoogleConnected(true);
    model_.setUploadQueueCount(1);
    model_.setStatusMessage(u"Recording separate screen, mic, and system audio streams."_s);
    for (const QString& name :
         {u"2024-02-28_09-15-00"_s, u"2024-03-01_10-00-00"_s, u"2024-03-02_11-30-00"_s,
          u"2024-03-02_11-30-00-1"_s, u"2024-03-04_16-45-30"_s, u"2024-03-05_08-00-00"_s})
        addSession(name);
    // A desktop without a camera, as many are.
    readiness_ = {{u"Screen"_s, true, u"screen (1920x1080)"_s},
                  {u"Microphone"_s, true, u"ebbcast_microphone"_s},
                  {u"System audio"_s, true, u"ebbcast_speaker"_s},
                  {u"Camera"_s, false,
                   u"No camera found: connect a camera (it appears as /dev/video0) to record wrap-up notes. "
                   "Recording sessions do not need one."_s}};
    ASSERT_NO_FATAL_FAILURE(showAndWait());
    const auto screenshot = [&](const QString& name) {
        QTest::qWait(300); // painted
        const QImage picture = test::X11View::windowPixels(window()->winId());
        test::saveScreenshot(picture, name);
        return picture;
    };

    const QImage light = screenshot(u"dashboard-light"_s);
    ASSERT_EQ(light.size(), QSize(760, 680));
    EXPECT_FALSE(window()->findChild<QScrollArea*>()->verticalScrollBar()->isVisible())
        << "five sessions and a readiness advice fit without scrolling";
    expectNotBlank(light, window()->palette().color(QPalette::Window));
    expectReadableLabels(window(), light);

    ApplicationPalette dark(darkPalette());
    const QImage darkPicture = screenshot(u"dashboard-dark"_s);
    ASSERT_EQ(darkPicture.size(), QSize(760, 680));
    EXPECT_EQ(window()->palette().color(QPalette::Window), darkPalette().color(QPalette::Window));
    expectNotBlank(darkPicture, darkPalette().color(QPalette::Window));
    expectReadableLabels(window(), darkPicture);
    EXPECT_LT(meanLuminance(darkPicture), meanLuminance(light) / 2) << "repainted in the dark palette";
}

TEST(DashboardScale, TwiceTheScaleKeepsTheLogicalSizeWithTwiceThePixels)
{
    const QString output = test::artifactsFolder() + u"/dashboard-scale2.png"_s;
    QFile::remove(output);
    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_SCALE_FACTOR"_s, u"2"_s);
    environment.insert(u"QT_QPA_PLATFORM"_s, QGuiApplication::platformName());
    probe.setProcessEnvironment(environment);
    probe.start(QStringLiteral(EBBCAST_DASHBOARD_PROBE), {output});
    ASSERT_TRUE(probe.waitForFinished(static_cast<int>(60000 * test::timingScale())));
    ASSERT_EQ(probe.exitCode(), 0) << probe.readAllStandardError().toStdString();
    EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()),
              u"logical 760x680 ratio 2 image 1520x1360\n"_s);
    const QImage picture(output);
    ASSERT_EQ(picture.size(), QSize(1520, 1360));
    expectNotBlank(picture, QApplication::palette().color(QPalette::Window));
}

} // namespace
} // namespace ebbcast
