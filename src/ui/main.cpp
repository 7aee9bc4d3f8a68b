#include <QApplication>
#include <QLocale>
#include <QStyleHints>
#include <QTranslator>
#include <cstdio>
#include <memory>

#include "platform/bluez/bluez_peripheral_manager.hpp"
#include "platform/files/file_defaults.hpp"
#include "platform/files/file_keychain.hpp"
#include "platform/hostnamed/hostnamed_host_name.hpp"
#include "platform/keychain_by_variant.hpp"
#include "platform/qt/qt_main_loop.hpp"
#include "platform/secret_service/secret_service_keychain.hpp"
#include "platform/syslog/syslog_system_log.hpp"
#include "platform/x11/x11_accessibility.hpp"
#include "platform/x11/x11_connection.hpp"
#include "platform/x11/x11_displays.hpp"
#include "platform/x11/x11_event_poster.hpp"
#include "platform/xdg/xdg_login_item.hpp"
#include "ui/command_line.hpp"
#include "ui/diagnosis.hpp"
#include "ui/pointer_check.hpp"
#include "ui/single_instance.hpp"
#include "ui/state_log.hpp"
#include "ui/termination_signals.hpp"
#include "ui/tovali_app.hpp"

int main(int argc, char* argv[]) {
    using namespace tovali;

    // Read before any application object: --help, --version and --diagnose need no display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const CommandLine commandLine = CommandLine::parse(arguments);
    if (const std::optional<int> status = commandLine.exitStatus()) {
        std::fputs(commandLine.output().toLocal8Bit().constData(), *status == 0 ? stdout : stderr);
        return *status;
    }
    if (commandLine.isSet("diagnose")) {
        QCoreApplication application(argc, argv);
        return runDiagnosis(x11PointerCheck());
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName("Tovali");
    QGuiApplication::setDesktopFileName("tovali");
    // The tray icon keeps the application alive; closing the menu window only hides it.
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnTerminationSignals();
    // Before anything reaches Bluetooth or the list of paired watches.
    SingleInstance instance;
    if (const std::optional<int> exitStatus = instance.claim()) {
        return *exitStatus;
    }
    // The English texts are the keys; a translation installed beside the program replaces them.
    QTranslator translator;
    if (translator.load(QLocale(), "tovali", "_",
                        QCoreApplication::applicationDirPath() + "/../share/tovali/translations")) {
        QCoreApplication::installTranslator(&translator);
    }

    // Pointer events go through X11 even under Wayland, where Xwayland's pointer is all XTest
    // reaches; the permission check tells the user.
    const std::unique_ptr<X11Connection> x11 = X11Connection::open();
    std::optional<FileKeychain> fileKeychain = FileKeychain::fromEnvironment();
    std::optional<FileDefaults> defaults = FileDefaults::fromEnvironment();
    if (!x11) {
        std::fprintf(stderr, "tovali: cannot connect to the X display; Tovali needs X11 or "
                             "Xwayland to move the pointer.\n");
        return 1;
    }
    if (!fileKeychain || !defaults) {
        std::fprintf(stderr, "tovali: no home folder (set HOME) to keep settings in.\n");
        return 1;
    }

    QtMainLoop loop;
    X11EventPoster events(*x11, application.styleHints()->mouseDoubleClickInterval() / 1000.0);
    X11Displays displays(*x11);
    X11Accessibility accessibility(*x11);
    SecretServiceKeychain secretService;
    KeychainByVariant keychain(secretService, *fileKeychain);
    SyslogSystemLog log;
    std::optional<StateLog> stateLog;
    if (commandLine.isSet("verbose"))
        stateLog.emplace(log);
    HostnamedHostName hostName;
    XdgLoginItem loginItem =
        XdgLoginItem::fromEnvironment(QCoreApplication::applicationFilePath().toStdString());

    TovaliApp app({
        .server =
            {
                .events = events,
                .displays = displays,
                .loop = loop,
                .keychain = keychain,
                .log = log,
                .defaults = *defaults,
                .accessibility = accessibility,
                .hostName = hostName,
                .makePeripheralManager = [&stateLog](PeripheralDelegate& delegate)
                    -> std::unique_ptr<PeripheralManager> {
                    auto manager = std::make_unique<BluezPeripheralManager>(delegate);
                    manager->setTrace(stateLog ? &*stateLog : nullptr);
                    return manager;
                },
            },
        .loginItem = loginItem,
    });
    instance.onActivate([&app] { app.showWindow(); });
    if (stateLog)
        stateLog->follow(app.appDelegate().server());
    app.launch();
    return application.exec();
}
