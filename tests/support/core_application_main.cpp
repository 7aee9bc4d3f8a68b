#include <QCoreApplication>

#include <gtest/gtest.h>

// For tests whose D-Bus peers (an adapter, bluetoothd's stand-in) answer on this thread's event
// loop.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
