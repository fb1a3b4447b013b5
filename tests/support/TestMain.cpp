#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

// Every test program runs with a Qt application object, as the application itself does, in a time zone away
// from UTC (so local-time rules are really exercised) and a UTF-8 locale, without a default gateway, however
// it is started.
int main(int argc, char* argv[])
{
    setenv("TZ", "Europe/Berlin", 1);
    setenv("LC_ALL", "C.UTF-8", 1);
    // No gateway by default, whatever the build's default (the offline one, "local"): a test that transcribes
    // names its own gateway, and no test starts the real one by accident. Inherited by the ebbcast processes
    // the tests start.
    setenv("EBBCAST_GATEWAY_BASE_URL", "", 1);
    tzset();
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
