#include "app/TrayIcon.h"

#include "app/RunStateColour.h"
#include "core/base/Logger.h"
#include "model/EbbcastAppModel.h"
#include "support/ShellWindowTesting.h"
#include "support/TemporaryFolder.h"

#include <QApplication>
#include <QImage>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPalette>
#include <QTest>

#include <gtest/gtest.h>

#include <map>

using namespace Qt::StringLiterals;

namespace ebbcast {
namespace {

// The colour most opaque pixels of a symbol have.
QColor inkOf(const QIcon& icon)
{
    const QImage image = icon.pixmap(QSize(22, 22), 2.0).toImage().convertToFormat(QImage::Format_ARGB32);
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) == 255)
                ++counts[pixel | 0xff000000u];
        }
    }
    QRgb best = 0;
    int most = 0;
    for (const auto& [colour, count] : counts) {
        if (count > most) {
            most = count;
            best = colour;
        }
    }
    return QColor::fromRgb(best);
}

class TrayIconTest : public ::testing::Test {
protected:
    ~TrayIconTest() override { QApplication::setPalette(original_); }

    test::TemporaryFolder folder_;
    Logger logger_{folder_.file(u"ebbcast.log"_s)};
    EbbcastAppModel model_{QUrl(u"https://drive.test"_s)};
    QPalette original_ = QApplication::palette();
};

TEST_F(TrayIconTest, IdleAndCompletedFollowThePaletteTextOthersKeepTheirColour)
{
    TrayIcon tray(model_, {}, logger_, {.trayWait = std::chrono::hours(1), .errorLine = [](const QString&) {
                                        }});
    QPalette light = original_;
    light.setColor(QPalette::WindowText, QColor(0x20, 0x20, 0x20));
    QApplication::setPalette(light);
    QApplication::processEvents();
    EXPECT_EQ(inkOf(tray.icon()), QColor(0x20, 0x20, 0x20));

    // A dark theme arrives: the same state is drawn again in its text colour.
    QPalette dark = original_;
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    QApplication::setPalette(dark);
    QApplication::processEvents();
    EXPECT_EQ(inkOf(tray.icon()), QColor(0xee, 0xee, 0xee));

    model_.setState(EbbcastRunState::completed);
    EXPECT_EQ(inkOf(tray.icon()), QColor(0xee, 0xee, 0xee));
    for (const EbbcastRunState state : {EbbcastRunState::recording, EbbcastRunState::wrapUp,
                                        EbbcastRunState::uploading, EbbcastRunState::error}) {
        model_.setState(state);
        EXPECT_EQ(inkOf(tray.icon()), runStateColour(state)) << displayName(state).toStdString();
    }
    // Sharp at a scale of 2: drawn from the symbol at 44 pixels, not a 22-pixel picture stretched.
    EXPECT_EQ(tray.icon().pixmap(QSize(22, 22), 2.0).size(), QSize(44, 44));
}

TEST_F(TrayIconTest, TooltipGivesTheStateAndWhileRecordingTheElapsedTime)
{
    TrayIcon tray(model_, {}, logger_, {.trayWait = std::chrono::hours(1), .errorLine = [](const QString&) {
                                        }});
    EXPECT_EQ(tray.toolTip(), u"Ebbcast — Idle"_s);
    model_.setState(EbbcastRunState::recording);
    model_.startElapsedTimer(QDateTime::currentDateTime().addSecs(-65));
    EXPECT_EQ(tray.toolTip(), u"Ebbcast — Recording "_s + model_.elapsedText());
    EXPECT_TRUE(model_.elapsedText().contains(u"1:05"_s)) << model_.elapsedText().toStdString();
}

TEST_F(TrayIconTest, TheRecordPromptNeverTakesTheMeetingsKeysAndAsksOnce)
{
    TrayIcon tray(model_, {}, logger_, {.trayWait = std::chrono::hours(1), .errorLine = [](const QString&) {
                                        }});
    int starts = 0;
    tray.promptToRecord(u"zoom.us"_s, [&starts] { ++starts; });
    tray.promptToRecord(u"Slack"_s, [&starts] { starts += 100; }); // one question at a time
    QMessageBox* prompt = tray.recordPrompt();
    ASSERT_NE(prompt, nullptr);
    ASSERT_TRUE(test::waitUntil([prompt] { return prompt->isVisible(); }));
    EXPECT_EQ(prompt->text(), u"The microphone appears to be active while zoom.us is frontmost. Do you want "
                              "Ebbcast to start a session?"_s);
    EXPECT_TRUE(prompt->testAttribute(Qt::WA_ShowWithoutActivating));
    EXPECT_NE(QApplication::activeWindow(), prompt);

    // Enter and Space meant for the meeting do not record, whatever has the box's focus.
    QTest::keyClick(prompt, Qt::Key_Return);
    QTest::keyClick(prompt, Qt::Key_Enter);
    QCoreApplication::processEvents();
    EXPECT_EQ(starts, 0);
    ASSERT_TRUE(prompt->isVisible());
    // Escape is "Not Now".
    QTest::keyClick(prompt, Qt::Key_Escape);
    ASSERT_TRUE(test::waitUntil([&tray] { return tray.recordPrompt() == nullptr; }));
    EXPECT_EQ(starts, 0);

    tray.promptToRecord(u"zoom.us"_s, [&starts] { ++starts; });
    ASSERT_NE(tray.recordPrompt(), nullptr);
    QAbstractButton* start = nullptr;
    for (QAbstractButton* button : tray.recordPrompt()->buttons())
        start = button->text() == u"Start Recording"_s ? button : start;
    ASSERT_NE(start, nullptr);
    start->click();
    EXPECT_EQ(starts, 1);
}

} // namespace
} // namespace ebbcast
