#include "app/ColourContrast.h"
#include "app/LoginAutostart.h"
#include "app/PreferencesForm.h"
#include "app/PreferencesSources.h"
#include "app/PreferencesWindowController.h"
#include "core/base/Logger.h"
#include "core/settings/PreferencesStore.h"
#include "core/settings/SettingsFile.h"
#include "support/FakeScreenFrameSource.h"
#include "support/ShellWindowTesting.h"
#include "support/TemporaryFolder.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QGroupBox>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSet>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The preferences window over a store on a settings file of the test's own, with made-up displays and sound
// inputs and the upload rules' reading of Drive folders.
class PreferencesWindowTest : public ::testing::Test {
protected:
    PreferencesWindowTest()
    {
        screens_.displayList = {{4101, u"DP-1"_s, 0, 0, 1920, 1080, true},
                                {4202, u"HDMI-2"_s, 1920, 0, 1280, 1024}};
    }

    void SetUp() override
    {
        if (!test::onXDisplay())
            GTEST_SKIP() << "needs an X display (scripts/test.sh runs Xvfb)";
        palette_ = QApplication::palette();
    }

    void TearDown() override { QApplication::setPalette(palette_); }

    PreferencesSources sources()
    {
        PreferencesSources sources = systemPreferencesSources(screens_);
        sources.audioInputNames = [] {
            return QStringList{u"Built-in Microphone"_s, u"USB Headset"_s};
        };
        if (autostart_) {
            sources.startsAtLogin = [this] {
                return autostart_->isEnabled();
            };
            sources.setStartsAtLogin = [this](bool enabled) {
                autostart_->setEnabled(enabled);
            };
        }
        return sources;
    }

    // Opens a window (a new store and controller over the same file each time) and waits until it is shown.
    PreferencesWindowController& open()
    {
        controller_.reset();
        store_ = std::make_unique<PreferencesStore>(file_, logger_);
        controller_ = std::make_unique<PreferencesWindowController>(*store_, sources());
        controller_->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(controller_->window()));
        return *controller_;
    }

    template <typename Control>
    Control* control(const QString& name) const
    {
        auto* found = controller_->window()->findChild<Control*>(name);
        EXPECT_NE(found, nullptr) << name.toStdString();
        return found;
    }

    // Types the text into the field, replacing what it held, and finishes with Enter.
    void enter(const QString& key, const QString& text, bool finish = true)
    {
        QLineEdit* edit = control<QLineEdit>(key);
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
        if (finish)
            QTest::keyClick(edit, Qt::Key_Return);
    }

    QByteArray settingsBytes() const { return test::TemporaryFolder::readAll(settingsPath()); }
    QJsonObject stored() const { return QJsonDocument::fromJson(settingsBytes()).object(); }
    QString settingsPath() const { return folder_.file(u"settings.json"_s); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"app.log"_s)};
    SettingsFile file_{settingsPath(), logger_};
    test::FakeScreenFrameSource screens_;
    std::unique_ptr<PreferencesStore> store_;
    std::unique_ptr<PreferencesWindowController> controller_;
    std::optional<LoginAutostart> autostart_;
    QPalette palette_;
};

// Every text the accessibility tree offers of the widget and everything in it.
QString accessibleText(QAccessibleInterface* node)
{
    QString text;
    for (const auto role :
         {QAccessible::Name, QAccessible::Description, QAccessible::Value, QAccessible::Help})
        text += node->text(role) + u'\n';
    if (QAccessibleTextInterface* content = node->textInterface())
        text += content->text(0, content->characterCount()) + u'\n';
    for (int index = 0; index < node->childCount(); ++index)
        text += accessibleText(node->child(index));
    return text;
}

// What a picture shows, on a 4-pixel grid: how many colours, and the commonest one with its share.
struct ColourSpread {
    int colours = 0;
    QRgb commonest = 0;
    double share = 1.0;
};

ColourSpread colourSpread(const QImage& picture)
{
    QHash<QRgb, int> counts;
    int total = 0;
    for (int y = 0; y < picture.height(); y += 4)
        for (int x = 0; x < picture.width(); x += 4, ++total)
            ++counts[picture.pixel(x, y)];
    ColourSpread spread{static_cast<int>(counts.size())};
    int most = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            spread.commonest = it.key();
        }
    }
    spread.share = total == 0 ? 1.0 : double(most) / total;
    return spread;
}

TEST(PreferencesWindowPlacement, PreferredSizeCentredOrWhatFitsOnASmallerScreen)
{
    EXPECT_EQ(PreferencesWindowController::placement({0, 0, 1920, 1080}), QRect(650, 180, 620, 720));
    EXPECT_EQ(PreferencesWindowController::placement({1920, 24, 1920, 1056}), QRect(2570, 192, 620, 720));
    const QRect small = PreferencesWindowController::placement({0, 0, 1024, 600});
    EXPECT_EQ(small.size(), QSize(620, 552));
    EXPECT_EQ(small.center(), QRect(0, 0, 1024, 600).center());
    EXPECT_EQ(PreferencesWindowController::placement({0, 0, 600, 700}).size(), QSize(584, 652));
}

TEST_F(PreferencesWindowTest, AResizableWindowCentredOnThePrimaryScreenWhoseFormScrolls)
{
    PreferencesWindowController& controller = open();
    QWidget* window = controller.window();
    EXPECT_EQ(window->windowTitle(), u"Ebbcast Preferences"_s);
    EXPECT_EQ(window->size(), QSize(620, 720));
    // Centred (a window manager's frame, if there is one, may move it a little).
    const QPoint offCentre =
        window->geometry().center() - QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 64) << offCentre.x() << "," << offCentre.y();
    const Qt::WindowFlags flags = window->windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_NE(window->minimumSize(), window->maximumSize()) << "resizable";
    EXPECT_EQ(controller.scrollArea()->widget(), controller.form());

    window->resize(620, 400);
    QTest::qWait(50);
    EXPECT_GT(controller.scrollArea()->verticalScrollBar()->maximum(), 0);

    // Shown again: the same window, in front.
    window->showMinimized();
    controller.show();
    EXPECT_EQ(controller.window(), window);
    EXPECT_TRUE(QTest::qWaitForWindowActive(window));
    EXPECT_FALSE(window->isMinimized());
}

TEST_F(PreferencesWindowTest, SectionsLabelsAndNotesInOrderWithAControlForEverySetting)
{
    open();
    QStringList sections;
    for (const QGroupBox* section : controller_->form()->findChildren<QGroupBox*>())
        sections.append(section->title());
    EXPECT_EQ(sections,
              (QStringList{u"Ebbcast Identity"_s, u"Google Drive Upload"_s, u"Clock Sync"_s,
                           u"Corvane Delivery"_s, u"Live Transcription"_s, u"Updates"_s, u"Recording"_s,
                           u"Auto Recording"_s, u"Recording Prompts"_s, u"Watch List"_s}));
    QStringList notes;
    for (const QLabel* note : controller_->form()->findChildren<QLabel*>(u"note"_s))
        notes.append(note->text());
    EXPECT_EQ(
        notes,
        (QStringList{
            u"Direct upload is restored for internal testing. Server-side handoff can replace this later."_s,
            u"Endpoint should return JSON with unix_ms or server_time. Lowest-latency sample is saved into "
            u"metadata."_s,
            u"Ebbcast reads CORVANE_PELKO_RELAY_TOKEN from the environment and posts the session's start, "
            u"its chunk transcripts and, after Google Drive upload and processing, its delivery to "
            u"Corvane."_s,
            u"Audio chunks are sent directly to the private gateway as soon as each chunk finalizes. Google "
            u"Drive remains archive/export only."_s,
            u"Check for Updates reads a private JSON feed, compares versions, and opens the newest download "
            u"link. Leave blank to disable update checks."_s}));

    const QList<std::pair<QString, QString>> labels = {
        {u"recorderID"_s, u"Recorder ID"_s},
        {u"recorderName"_s, u"Recorder name"_s},
        {u"googleUploadEnabled"_s, u"Upload completed sessions to Google Drive"_s},
        {u"googleClientID"_s, u"Google OAuth client ID"_s},
        {u"googleClientSecret"_s, u"Google OAuth client secret (optional)"_s},
        {u"googleDriveFolderURL"_s, u"Recorder Drive folder URL"_s},
        {u"webhookURL"_s, u"Webhook URL (optional)"_s},
        {u"clockSyncEnabled"_s, u"Sync recording clock with server"_s},
        {u"clockSyncURL"_s, u"Clock sync URL"_s},
        {u"corvanePelkoUserID"_s, u"Pelko Slack user ID"_s},
        {u"enableLiveTranscription"_s, u"Upload audio chunks to Glossen Gateway"_s},
        {u"glossenGatewayBaseURL"_s, u"Gateway base URL"_s},
        {u"glossenGatewayToken"_s, u"Gateway bearer token"_s},
        {u"updateFeedURL"_s, u"Update feed URL"_s},
        {u"audioFormat"_s, u"Audio format"_s},
        {u"defaultDisplayID"_s, u"Default display ID (0 = main display)"_s},
        {u"micInputDeviceName"_s, u"Mic input device name"_s},
        {u"recordingFolderPath"_s, u"Recording folder"_s},
        {u"autoStartRecording"_s, u"Auto-start recording on microphone activity"_s},
        {u"onlyAutoRecordWatchedApps"_s, u"Only auto-record watched apps"_s},
        {u"autoStopSilenceSeconds"_s, u"Auto-stop after seconds of silence"_s},
        {u"silenceThreshold"_s, u"Silence threshold"_s},
        {u"promptWhenMicrophoneIsUsed"_s, u"Ask to record when another app uses the microphone"_s},
        {u"onlyPromptWatchedApps"_s, u"Only prompt for watched apps"_s},
        {u"microphonePromptCooldownSeconds"_s, u"Prompt cooldown seconds"_s},
    };
    QStringList keys = SettingDefinitions::keys();
    keys.removeOne(u"enabledWatchListApps"_s);
    EXPECT_EQ(keys.size(), labels.size()) << "every setting has its control";
    for (const auto& [key, label] : labels) {
        SCOPED_TRACE(key.toStdString());
        const QWidget* widget = control<QWidget>(key);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->accessibleName(), label);
    }
    EXPECT_EQ(control<QPushButton>(u"chooseRecordingFolder"_s)->text(), u"Choose…"_s);
    QStringList watched;
    for (const QCheckBox* box : control<QGroupBox>(u"Watch List"_s)->findChildren<QCheckBox*>())
        watched.append(box->text());
    EXPECT_EQ(watched, PreferencesStore::defaultWatchList());
}

TEST_F(PreferencesWindowTest, EverySettingSetInTheWindowIsWrittenAndShownAgainByANewWindow)
{
    const QString recordings = folder_.file(u"recordings"_s);
    open();
    enter(u"recorderID"_s, u"studio-7"_s);
    enter(u"recorderName"_s, u"  Studio Seven "_s);
    control<QCheckBox>(u"googleUploadEnabled"_s)->click();
    enter(u"googleClientID"_s, u"client-42.apps.example"_s);
    enter(u"googleClientSecret"_s, u"client-secret-value"_s);
    enter(u"googleDriveFolderURL"_s, u"https://drive.google.com/drive/folders/1AbC_d-9?usp=sharing"_s);
    enter(u"webhookURL"_s, u"https://hooks.example.com/ebbcast"_s);
    control<QCheckBox>(u"clockSyncEnabled"_s)->click();
    enter(u"clockSyncURL"_s, u"http://127.0.0.1:8080/time"_s);
    enter(u"corvanePelkoUserID"_s, u"U012ABC"_s);
    control<QCheckBox>(u"enableLiveTranscription"_s)->click();
    enter(u"glossenGatewayBaseURL"_s, u"https://gateway.example/v1"_s);
    enter(u"glossenGatewayToken"_s, u"gateway-token-value"_s);
    enter(u"updateFeedURL"_s, u"https://updates.example/feed.json"_s);
    auto* format = control<QComboBox>(u"audioFormat"_s);
    format->setCurrentIndex(format->findData(u"wav"_s));
    auto* display = control<QComboBox>(u"defaultDisplayID"_s);
    EXPECT_EQ(display->itemText(0), u"Main display (0)"_s);
    display->setCurrentIndex(display->findData(QVariant::fromValue(quint32{4202})));
    auto* microphone = control<QComboBox>(u"micInputDeviceName"_s);
    EXPECT_EQ(microphone->count(), 2);
    microphone->setFocus();
    QTest::keyClicks(microphone, u"Desk Mic"_s);
    QTest::keyClick(microphone, Qt::Key_Return);
    enter(u"recordingFolderPath"_s, recordings);
    control<QCheckBox>(u"autoStartRecording"_s)->click();
    control<QCheckBox>(u"onlyAutoRecordWatchedApps"_s)->click();
    enter(u"autoStopSilenceSeconds"_s, u"4.5"_s);
    enter(u"silenceThreshold"_s, u"0.25"_s);
    control<QCheckBox>(u"promptWhenMicrophoneIsUsed"_s)->click();
    control<QCheckBox>(u"onlyPromptWatchedApps"_s)->click();
    enter(u"microphonePromptCooldownSeconds"_s, u"0"_s);
    control<QCheckBox>(u"enabledWatchListApps/Safari"_s)->click();
    control<QCheckBox>(u"enabledWatchListApps/Zoom"_s)->click();

    const QJsonObject expected{
        {u"recorderID"_s, u"studio-7"_s},
        {u"recorderName"_s, u"Studio Seven"_s},
        {u"googleUploadEnabled"_s, true},
        {u"googleClientID"_s, u"client-42.apps.example"_s},
        {u"googleClientSecret"_s, u"client-secret-value"_s},
        {u"googleDriveFolderURL"_s, u"https://drive.google.com/drive/folders/1AbC_d-9?usp=sharing"_s},
        {u"webhookURL"_s, u"https://hooks.example.com/ebbcast"_s},
        {u"clockSyncEnabled"_s, true},
        {u"clockSyncURL"_s, u"http://127.0.0.1:8080/time"_s},
        {u"corvanePelkoUserID"_s, u"U012ABC"_s},
        {u"enableLiveTranscription"_s, true},
        {u"glossenGatewayBaseURL"_s, u"https://gateway.example/v1"_s},
        {u"glossenGatewayToken"_s, u"gateway-token-value"_s},
        {u"updateFeedURL"_s, u"https://updates.example/feed.json"_s},
        {u"audioFormat"_s, u"wav"_s},
        {u"defaultDisplayID"_s, 4202},
        {u"micInputDeviceName"_s, u"Desk Mic"_s},
        {u"recordingFolderPath"_s, recordings},
        {u"autoStartRecording"_s, true},
        {u"onlyAutoRecordWatchedApps"_s, true},
        {u"autoStopSilenceSeconds"_s, 4.5},
        {u"silenceThreshold"_s, 0.25},
        {u"promptWhenMicrophoneIsUsed"_s, false},
        {u"onlyPromptWatchedApps"_s, true},
        {u"microphonePromptCooldownSeconds"_s, 0},
        {u"enabledWatchListApps"_s, QJsonArray{u"Google Chrome"_s, u"Slack"_s, u"OBS"_s, u"Premiere Pro"_s}},
    };
    EXPECT_EQ(stored(), expected);
    EXPECT_EQ(stored().size(), SettingDefinitions::all().size());

    // A new store and a new window on the same file show the same.
    const QByteArray written = settingsBytes();
    open();
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        SCOPED_TRACE(it.key().toStdString());
        if (const auto* edit = controller_->window()->findChild<QLineEdit*>(it.key())) {
            const QString shown = it->isDouble() && it.key() != u"defaultDisplayID"_s
                                      ? QString::number(it->toDouble())
                                      : it->toVariant().toString();
            EXPECT_EQ(edit->text(), shown);
        } else if (const auto* box = controller_->window()->findChild<QCheckBox*>(it.key())) {
            EXPECT_EQ(box->isChecked(), it->toBool());
        }
    }
    EXPECT_EQ(control<QComboBox>(u"audioFormat"_s)->currentData(), QVariant(u"wav"_s));
    EXPECT_EQ(control<QComboBox>(u"defaultDisplayID"_s)->currentText(), u"HDMI-2, 1280×1024 (4202)"_s);
    EXPECT_EQ(control<QComboBox>(u"micInputDeviceName"_s)->currentText(), u"Desk Mic"_s);
    EXPECT_FALSE(control<QCheckBox>(u"enabledWatchListApps/Zoom"_s)->isChecked());
    EXPECT_TRUE(control<QCheckBox>(u"enabledWatchListApps/OBS"_s)->isChecked());
    EXPECT_EQ(settingsBytes(), written) << "showing writes nothing";

    // A value set elsewhere shows at once.
    store_->setRecorderName(u"Booth"_s);
    EXPECT_EQ(control<QLineEdit>(u"recorderName"_s)->text(), u"Booth"_s);
}

TEST_F(PreferencesWindowTest, TextIsCommittedWhenItsEditingEndsNotWhileTyping)
{
    open();
    enter(u"recorderID"_s, u"first"_s);
    const QByteArray before = settingsBytes();
    enter(u"recorderID"_s, u"second"_s, false);
    QTest::qWait(50);
    EXPECT_EQ(settingsBytes(), before);
    EXPECT_EQ(store_->recorderID(), u"first"_s);

    // Leaving the field commits it, as does closing the window with a field still being edited.
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller_->window()));
    QTest::keyClick(control<QLineEdit>(u"recorderID"_s), Qt::Key_Tab);
    EXPECT_EQ(store_->recorderID(), u"second"_s);
    enter(u"recorderName"_s, u"Closing"_s, false);
    controller_->window()->close();
    EXPECT_EQ(stored().value(u"recorderName"_s), u"Closing"_s);
    controller_->show();
    enter(u"corvanePelkoUserID"_s, u"U0HIDDEN"_s, false);
    controller_->hide();
    EXPECT_EQ(stored().value(u"corvanePelkoUserID"_s), u"U0HIDDEN"_s);
}

TEST_F(PreferencesWindowTest, BadInputShowsItsMessageAndWritesNothing)
{
    const QString file = folder_.file(u"plain-file"_s);
    test::TemporaryFolder::writeAll(file, "not a folder");
    open();
    enter(u"recorderID"_s, u"present"_s); // the file exists, so that its bytes can be compared
    const QString number01 = u"Enter a number between 0 and 1."_s;
    const QString positive = u"Enter a number of seconds greater than 0."_s;
    const QString notNegative = u"Enter a number of seconds, 0 or more."_s;
    const QString address = u"Enter an address starting with http:// or https://."_s;
    const QString driveFolder = u"Enter a Google Drive folder link or a folder ID."_s;
    const QList<std::tuple<QString, QString, QString>> cases = {
        {u"silenceThreshold"_s, u"1.5"_s, number01},
        {u"silenceThreshold"_s, u"-0.1"_s, number01},
        {u"silenceThreshold"_s, u"loud"_s, number01},
        {u"silenceThreshold"_s, u""_s, number01},
        {u"silenceThreshold"_s, u"nan"_s, number01},
        {u"autoStopSilenceSeconds"_s, u"0"_s, positive},
        {u"autoStopSilenceSeconds"_s, u"-5"_s, positive},
        {u"autoStopSilenceSeconds"_s, u"inf"_s, positive},
        {u"microphonePromptCooldownSeconds"_s, u"-1"_s, notNegative},
        {u"microphonePromptCooldownSeconds"_s, u"soon"_s, notNegative},
        {u"clockSyncURL"_s, u"ftp://time.example"_s, address},
        {u"clockSyncURL"_s, u"time.example/now"_s, address},
        {u"glossenGatewayBaseURL"_s, u"http://"_s,
         u"Enter local, or an address starting with http:// or https://."_s},
        {u"glossenGatewayBaseURL"_s, u"localhost"_s,
         u"Enter local, or an address starting with http:// or https://."_s},
        {u"updateFeedURL"_s, u"file:///etc/feed.json"_s, address},
        {u"webhookURL"_s, u"hooks"_s, address},
        {u"googleDriveFolderURL"_s, u"https://drive.google.com/drive/my-drive"_s, driveFolder},
        {u"googleDriveFolderURL"_s, u"not an id!"_s, driveFolder},
        {u"recordingFolderPath"_s, u""_s, u"Enter the folder to keep recordings in."_s},
        {u"recordingFolderPath"_s, u"Movies/Ebbcast"_s, u"Enter a full folder path, starting with / or ~."_s},
        {u"recordingFolderPath"_s, file, u"This is a file, not a folder."_s},
        {u"recordingFolderPath"_s, file + u"/below"_s, u"This is a file, not a folder."_s},
        {u"recordingFolderPath"_s, u"/proc/ebbcast"_s,
         u"Ebbcast cannot write to this folder. Choose another one."_s},
    };
    const QByteArray before = settingsBytes();
    ASSERT_FALSE(before.isEmpty());
    for (const auto& [key, text, message] : cases) {
        SCOPED_TRACE(key.toStdString() + " = " + text.toStdString());
        const QVariant value = store_->value(key);
        enter(key, text);
        EXPECT_EQ(controller_->form()->message(key), message);
        EXPECT_TRUE(control<QLabel>(key + u"Message"_s)->isVisible());
        EXPECT_EQ(control<QLineEdit>(key)->accessibleDescription(), message);
        EXPECT_EQ(store_->value(key), value);
        EXPECT_EQ(settingsBytes(), before);
    }

    // Good input clears the message; blank is allowed where the setting may be blank; a bare folder id is.
    enter(u"silenceThreshold"_s, u"1"_s);
    EXPECT_EQ(controller_->form()->message(u"silenceThreshold"_s), QString());
    EXPECT_FALSE(control<QLabel>(u"silenceThresholdMessage"_s)->isVisible());
    EXPECT_EQ(store_->silenceThreshold(), 1.0);
    for (const QString& key :
         {u"clockSyncURL"_s, u"updateFeedURL"_s, u"webhookURL"_s, u"googleDriveFolderURL"_s}) {
        SCOPED_TRACE(key.toStdString());
        enter(key, u"https://drive.google.com/drive/folders/x1"_s);
        EXPECT_EQ(stored().value(key), u"https://drive.google.com/drive/folders/x1"_s);
        enter(key, u"  "_s);
        EXPECT_EQ(controller_->form()->message(key), QString());
        EXPECT_EQ(stored().value(key), u""_s);
    }
    enter(u"googleDriveFolderURL"_s, u"1AbC_d-9"_s);
    EXPECT_EQ(store_->googleDriveFolderURL(), u"1AbC_d-9"_s);
    enter(u"glossenGatewayBaseURL"_s, u" Local "_s); // the offline gateway
    EXPECT_EQ(controller_->form()->message(u"glossenGatewayBaseURL"_s), QString());
    EXPECT_EQ(stored().value(u"glossenGatewayBaseURL"_s), u"Local"_s);
    enter(u"recordingFolderPath"_s, u"~/Recordings/Ebbcast"_s); // made when a session starts
    EXPECT_EQ(store_->recordingFolderPath(), u"~/Recordings/Ebbcast"_s);
}

TEST_F(PreferencesWindowTest, ChooseOpensAFolderDialogWithoutBlockingAndAnUnwritableChoiceIsRefused)
{
    open();
    const QString chosen = folder_.file(u"chosen"_s);
    ASSERT_TRUE(QDir().mkpath(chosen));
    for (const QString& folder : {chosen, u"/proc"_s}) {
        control<QPushButton>(u"chooseRecordingFolder"_s)->click(); // returns: no nested event loop
        QFileDialog* dialog = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] {
            dialog = controller_->window()->findChild<QFileDialog*>(u"recordingFolderDialog"_s);
            return dialog != nullptr && dialog->isVisible();
        }));
        EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        dialog->selectFile(folder);
        static_cast<QDialog*>(dialog)->accept(); // QFileDialog's own, as its buttons call it
        QTest::qWait(10);
    }
    EXPECT_EQ(store_->recordingFolderPath(), chosen);
    EXPECT_EQ(stored().value(u"recordingFolderPath"_s), chosen);
    EXPECT_EQ(controller_->form()->message(u"recordingFolderPath"_s),
              u"Ebbcast cannot write to this folder. Choose another one."_s);
}

TEST_F(PreferencesWindowTest, SecretsAreMaskedAndNeverInTheAccessibleText)
{
    file_.setValue(u"glossenGatewayToken"_s, u"stored-gateway-token"_s);
    open();
    enter(u"googleClientSecret"_s, u"typed-client-secret"_s);
    enter(u"webhookURL"_s, u"https://hooks.example.com/typed-webhook-secret"_s);
    for (const QString& key : {u"googleClientSecret"_s, u"glossenGatewayToken"_s, u"webhookURL"_s}) {
        ASSERT_TRUE(SettingDefinitions::find(key)->secret);
        EXPECT_EQ(control<QLineEdit>(key)->echoMode(), QLineEdit::Password) << key.toStdString();
    }
    for (const QString& key : SettingDefinitions::keys()) {
        auto* edit = controller_->window()->findChild<QLineEdit*>(key);
        if (edit != nullptr && !SettingDefinitions::find(key)->secret) {
            EXPECT_EQ(edit->echoMode(), QLineEdit::Normal) << key.toStdString();
        }
    }

    const QString text = accessibleText(QAccessible::queryAccessibleInterface(controller_->window()));
    EXPECT_TRUE(text.contains(u"Gateway bearer token"_s)) << "the tree was walked";
    EXPECT_TRUE(text.contains(u"velno"_s)) << "the fields' values were read";
    for (const QString& secret :
         {u"stored-gateway-token"_s, u"typed-client-secret"_s, u"typed-webhook-secret"_s})
        EXPECT_FALSE(text.contains(secret)) << secret.toStdString();
}

TEST_F(PreferencesWindowTest, AStoredDisplayThatIsNotConnectedStaysSelected)
{
    file_.setValue(u"defaultDisplayID"_s, 9999);
    open();
    auto* display = control<QComboBox>(u"defaultDisplayID"_s);
    QStringList items;
    for (int index = 0; index < display->count(); ++index)
        items.append(display->itemText(index));
    EXPECT_EQ(items, (QStringList{u"Main display (0)"_s, u"DP-1, 1920×1080 (4101)"_s,
                                  u"HDMI-2, 1280×1024 (4202)"_s, u"9999 (not connected)"_s}));
    EXPECT_EQ(display->currentText(), u"9999 (not connected)"_s);
    EXPECT_EQ(store_->defaultDisplayID(), 9999u);

    display->setCurrentIndex(0);
    EXPECT_EQ(stored().value(u"defaultDisplayID"_s), 0);

    // Without a display server to ask, the main display is still offered; the list is asked for at each show.
    controller_->hide();
    store_->setDefaultDisplayID(4101);
    screens_.unreachable = true;
    controller_->show();
    items.clear();
    for (int index = 0; index < display->count(); ++index)
        items.append(display->itemText(index));
    EXPECT_EQ(items, (QStringList{u"Main display (0)"_s, u"4101 (not connected)"_s}));
}

TEST_F(PreferencesWindowTest, WatchListKeepsOtherApplicationsUntilTheyAreUnchecked)
{
    file_.setValue(u"enabledWatchListApps"_s, QJsonArray{u"slack"_s, u"Terminal"_s, u"Figma"_s});
    open();
    for (const QString& name : PreferencesStore::defaultWatchList())
        EXPECT_EQ(control<QCheckBox>(u"enabledWatchListApps/"_s + name)->isChecked(), name == u"Slack"_s);
    EXPECT_TRUE(control<QCheckBox>(u"enabledWatchListApps/Terminal"_s)->isChecked());
    EXPECT_TRUE(control<QCheckBox>(u"enabledWatchListApps/Figma"_s)->isChecked());

    control<QCheckBox>(u"enabledWatchListApps/Zoom"_s)->click();
    control<QCheckBox>(u"enabledWatchListApps/Terminal"_s)->click();
    control<QCheckBox>(u"enabledWatchListApps/Slack"_s)->click();
    EXPECT_EQ(stored().value(u"enabledWatchListApps"_s), (QJsonArray{u"Figma"_s, u"Zoom"_s}));
    // Unchecked, it stays until the window is shown again, so that it can be checked back.
    EXPECT_FALSE(control<QCheckBox>(u"enabledWatchListApps/Terminal"_s)->isChecked());
    controller_->hide();
    store_->setEnabledWatchListApps({u"Figma"_s, u"Zoom"_s, u"Notion"_s});
    controller_->show();
    EXPECT_EQ(controller_->window()->findChild<QCheckBox*>(u"enabledWatchListApps/Terminal"_s), nullptr);
    EXPECT_TRUE(control<QCheckBox>(u"enabledWatchListApps/Notion"_s)->isChecked());
}

TEST_F(PreferencesWindowTest, TabReachesEveryControlByItsAccessibleNameAndEscapeHides)
{
    open();
    QWidget* window = controller_->window();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QSet<QWidget*> focusable;
    for (QWidget* widget : controller_->form()->findChildren<QWidget*>()) {
        if (widget->isVisibleTo(window) && (widget->focusPolicy() & Qt::TabFocus) &&
            widget->focusProxy() == nullptr) {
            EXPECT_FALSE(widget->accessibleName().isEmpty()) << widget->metaObject()->className();
            focusable.insert(widget);
        }
    }
    EXPECT_GE(focusable.size(), 25 + 6);

    control<QLineEdit>(u"recorderID"_s)->setFocus();
    QSet<QWidget*> reached;
    for (int step = 0; step < 100 && reached.size() < focusable.size(); ++step) {
        QWidget* focused = QApplication::focusWidget();
        ASSERT_NE(focused, nullptr);
        reached.insert(focused);
        const QAccessibleInterface* node = QAccessible::queryAccessibleInterface(focused);
        EXPECT_TRUE(node != nullptr && !node->text(QAccessible::Name).isEmpty())
            << focused->objectName().toStdString();
        // The focused control scrolls into view.
        const QRect shown = controller_->scrollArea()->viewport()->rect();
        const QRect place(focused->mapTo(controller_->scrollArea()->viewport(), QPoint(0, 0)),
                          focused->size());
        EXPECT_TRUE(shown.intersects(place)) << focused->objectName().toStdString();
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    EXPECT_EQ(reached, focusable);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_FALSE(controller_->isShown());
    controller_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
    EXPECT_TRUE(controller_->isShown());
}

TEST_F(PreferencesWindowTest, ScreenshotsInLightAndDarkPalettesAreReadable)
{
    open();
    enter(u"silenceThreshold"_s, u"2"_s); // a message in view too
    controller_->scrollArea()->ensureWidgetVisible(control<QLabel>(u"silenceThresholdMessage"_s));

    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2e));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
    dark.setColor(QPalette::AlternateBase, QColor(0x33, 0x33, 0x36));
    dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Button, QColor(0x3a, 0x3a, 0x3e));
    dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
    dark.setColor(QPalette::Highlight, QColor(0x3d, 0x7a, 0xd6));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa4));

    for (const auto& [name, palette] :
         {std::pair{u"preferences"_s, palette_}, std::pair{u"preferences-dark"_s, dark}}) {
        SCOPED_TRACE(name.toStdString());
        QApplication::setPalette(palette);
        QTest::qWait(100);
        const QLabel* message = control<QLabel>(u"silenceThresholdMessage"_s);
        const QColor background = palette.color(QPalette::Window);
        EXPECT_EQ(message->palette().color(QPalette::WindowText), PreferencesForm::messageColour(palette));
        EXPECT_GE(contrastRatio(message->palette().color(QPalette::WindowText), background), 4.5);

        const QImage shot = test::X11View::windowPixels(controller_->window()->winId());
        ASSERT_EQ(shot.size(), controller_->window()->size() * controller_->window()->devicePixelRatio());
        test::saveScreenshot(shot, name);
        const ColourSpread spread = colourSpread(shot);
        EXPECT_GE(spread.colours, 8);
        EXPECT_LT(spread.share, 0.95);
        // Mostly the palette's background: the picture is the window, in its palette.
        EXPECT_EQ(qGray(spread.commonest) < 100, name.endsWith(u"dark"_s)) << qGray(spread.commonest);
    }
}

TEST_F(PreferencesWindowTest, StartAtLoginIsTheDesktopsAutostartEntry)
{
    const QString entry = folder_.file(u"config/autostart/com.tavilon.Ebbcast.desktop"_s);
    autostart_.emplace(entry, u"/usr/bin/ebbcast"_s);
    open();
    auto* box = control<QCheckBox>(u"startAtLogin"_s);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->accessibleName(), u"Start Ebbcast at login"_s);
    EXPECT_FALSE(box->isChecked());
    const QByteArray settingsBefore = settingsBytes();
    box->click();
    EXPECT_TRUE(QFileInfo::exists(entry));
    EXPECT_EQ(settingsBytes(), settingsBefore); // the entry is the state, not a setting

    open();
    box = control<QCheckBox>(u"startAtLogin"_s);
    EXPECT_TRUE(box->isChecked());
    box->click();
    EXPECT_FALSE(QFileInfo::exists(entry));

    // The autostart folder cannot be made: the switch says why and stays off.
    QDir(folder_.path()).rmpath(u"config/autostart"_s);
    test::TemporaryFolder::writeAll(folder_.file(u"config/autostart"_s), "a file in the way");
    box->click();
    EXPECT_FALSE(box->isChecked());
    const QLabel* message = control<QLabel>(u"startAtLoginMessage"_s);
    EXPECT_TRUE(message->isVisible());
    EXPECT_TRUE(message->text().startsWith(u"Ebbcast could not change its start at login: "_s))
        << message->text().toStdString();
}

TEST_F(PreferencesWindowTest, AFailedSaveShowsUnderTheControl)
{
    open();
    // The settings file's folder cannot be made: a file is in its way.
    test::TemporaryFolder::writeAll(folder_.file(u"blocked"_s), "file");
    SettingsFile blocked(folder_.file(u"blocked/settings.json"_s), logger_);
    PreferencesStore store(blocked, logger_);
    PreferencesWindowController controller(store, sources());
    controller.show();
    controller.window()->findChild<QCheckBox*>(u"clockSyncEnabled"_s)->click();
    EXPECT_TRUE(controller.form()
                    ->message(u"clockSyncEnabled"_s)
                    .startsWith(u"Ebbcast could not save this setting: "_s));
    EXPECT_TRUE(store.clockSyncEnabled()) << "the value holds for this run";
}

TEST(SoundServerInputs, NamesTheInputsButNotTheMonitorsOfOutputs)
{
    const QStringList names = soundServerInputNames();
    EXPECT_TRUE(names.contains(u"Test_Microphone"_s)) << names.join(u", "_s).toStdString();
    for (const QString& name : names)
        EXPECT_FALSE(name.startsWith(u"Monitor of"_s)) << name.toStdString();
}

} // namespace
} // namespace ebbcast
