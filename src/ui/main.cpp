#include <QApplication>
#include <QLocale>
#include <QStyleHints>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/bluez/bluez_peripheral_manager.hpp"
#include "platform/files/file_defaults.hpp"
#include "platform/files/file_keychain.hpp"
#include "platform/hostnamed/hostnamed_host_name.hpp"
#include "platform/keychain_by_variant.hpp"
#include "platform/qt/qt_main_loop.hpp"
#include "platform/secret_service/secret_service_keychain.hpp"
#include "platform/syslog/syslog_system_log.hpp"
#include "platform/xdg/xdg_login_item.hpp"
#include "ui/command_line.hpp"
#include "ui/diagnosis.hpp"
#include "ui/pointer_check.hpp"
#include "ui/pointer_route.hpp"
#include "ui/single_instance.hpp"
#include "ui/state_log.hpp"
#include "ui/termination_signals.hpp"
#include "ui/tovali_app.hpp"

namespace {

// The panels must float above other windows, where they are told to: X11 lets a window ask
// for that and Wayland does not, so the windows stay on Xwayland wherever there is one. Without
// any X server, Qt's Wayland plugin is the only way to show them. A platform the user chose
// stays.
void choosePlatform() {
    if (std::getenv("QT_QPA_PLATFORM") != nullptr)
        return;
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (x != nullptr && *x != '\0')
        setenv("QT_QPA_PLATFORM", "xcb", 1);
    else if (wayland != nullptr && *wayland != '\0')
        setenv("QT_QPA_PLATFORM", "wayland", 1);
}

} // namespace

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
    const std::optional<PointerChoice> pointer =
        pointerChoice(commandLine.value("pointer").toStdString());
    if (!pointer) {
        std::fprintf(stderr,
                     "tovali: unknown pointer route '%s' (use auto, x11, wlroots or "
                     "portal)\nTry 'tovali --help'.\n",
                     commandLine.value("pointer").toLocal8Bit().constData());
        return 2;
    }
    if (commandLine.isSet("diagnose")) {
        QCoreApplication application(argc, argv);
        return runDiagnosis(pointerCheck(*pointer));
    }

    choosePlatform();
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

    std::optional<FileKeychain> fileKeychain = FileKeychain::fromEnvironment();
    std::optional<FileDefaults> defaults = FileDefaults::fromEnvironment();
    if (!fileKeychain || !defaults) {
        std::fprintf(stderr, "tovali: no home folder (set HOME) to keep settings in.\n");
        return 1;
    }
    SyslogSystemLog log;
    const std::unique_ptr<PointerRoute> route = choosePointerRoute(
        *pointer, SessionKind::fromEnvironment(), RouteMakers::real(),
        {.defaults = *defaults,
         .log = log,
         .doubleClickInterval = application.styleHints()->mouseDoubleClickInterval() / 1000.0});
    if (!route) {
        std::fprintf(stderr, "%s",
                     *pointer == PointerChoice::automatic
                         ? "tovali: no way to move the pointer here: no X display, "
                           "no wlroots virtual pointer and no RemoteDesktop portal "
                           "answered.\n"
                         : "tovali: the pointer route asked for does not answer "
                           "here.\n");
        return 1;
    }
    log.write("tovali: pointer events go through " + route->description());

    QtMainLoop loop;
    SecretServiceKeychain secretService;
    KeychainByVariant keychain(secretService, *fileKeychain);
    std::optional<StateLog> stateLog;
    if (commandLine.isSet("verbose"))
        stateLog.emplace(log);
    HostnamedHostName hostName;
    XdgLoginItem loginItem =
        XdgLoginItem::fromEnvironment(QCoreApplication::applicationFilePath().toStdString());

    TovaliApp app({
        .server =
            {
                .events = route->events(),
                .displays = route->displays(),
                .loop = loop,
                .keychain = keychain,
                .log = log,
                .defaults = *defaults,
                .accessibility = route->accessibility(),
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
