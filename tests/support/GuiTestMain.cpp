#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

// The main() of test programs that show windows: a QApplication instead of TestMain's core application, on
// the display scripts/test.sh provides (Xvfb). Without a display it falls back to the offscreen platform,
// where the tests that need a real screen skip themselves. Closing a window never ends the program, as in the
// application itself.
int main(int argc, char* argv[])
{
    setenv("TZ", "Europe/Berlin", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    // No gateway by default, whatever the build's default (the offline one, "local"): a test that transcribes
    // names its own gateway, and no test starts the real one by accident. Inherited by the ebbcast processes
    // the tests start.
    setenv("EBBCAST_GATEWAY_BASE_URL", "", 1);
    tzset();
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication application(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
