#include <QGuiApplication>

#include <gtest/gtest.h>

// Timers and display links need a running Qt application; the offscreen platform gives it a
// screen without a display server.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    // A Qt warning, such as a notifier left watching a closed timerfd, fails the test.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            ADD_FAILURE() << "Qt: " << text.toStdString();
    });
    int result = RUN_ALL_TESTS();
    // Timers dropped by their own callback are deleted by the loop; let it finish that.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}
