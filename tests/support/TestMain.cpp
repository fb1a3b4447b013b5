#include <QCoreApplication>

#include <gtest/gtest.h>

// Every test program runs with a Qt application object, as the application itself does.
int main(int argc, char* argv[])
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
