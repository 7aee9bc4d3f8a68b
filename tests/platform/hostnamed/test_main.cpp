#include <QCoreApplication>

#include <gtest/gtest.h>

// The adapter's D-Bus answers arrive through this thread's event loop.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
