#include <QCoreApplication>

#include <gtest/gtest.h>

// bluetoothd's stand-in answers the application on this thread's event loop.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
