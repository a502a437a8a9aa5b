// Test entry: one Qt core application for the whole run, so tests that need a real event
// loop (sockets, timers) can run one; it needs no display.
#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
