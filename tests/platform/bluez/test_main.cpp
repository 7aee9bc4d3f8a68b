#include <QCoreApplication>

#include <gtest/gtest.h>

// The adapter and the stand-in answer each other's D-Bus calls on this thread's event loop.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
