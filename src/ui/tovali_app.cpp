#include "ui/tovali_app.hpp"

#include <QApplication>
#include <QSystemTrayIcon>

#include "ui/menu_window.hpp"
#include "ui/tray_icon.hpp"

namespace tovali {

TovaliApp::TovaliApp(Platform platform)
    : appDelegate_(platform.server), loginItem_(platform.loginItem),
      accessibility_(platform.server.accessibility) {}

TovaliApp::~TovaliApp() = default;

void TovaliApp::launch() {
    BluetoothServer& server = appDelegate_.server();
    const auto quit = [] { QCoreApplication::quit(); };
    // Qt settles whether there is a tray once, at start: a tray that comes later is never used,
    // so without one now the window is the only way in.
    const bool hasTray = QSystemTrayIcon::isSystemTrayAvailable();
    menuWindow_ = std::make_unique<MenuWindow>(server, accessibility_, loginItem_, quit,
                                               hasTray ? MenuWindow::Style::popover
                                                       : MenuWindow::Style::window);
    if (hasTray) {
        icon_ = std::make_unique<TrayIcon>(
            server,
            TrayIcon::Actions{
                .toggleWindow = [this](std::optional<QPoint> near) { menuWindow_->toggle(near); },
                .quit = quit,
            });
        icon_->show();
    } else {
        menuWindow_->present();
    }
    appDelegate_.applicationDidFinishLaunching();
}

void TovaliApp::showWindow() {
    menuWindow_->present();
}

} // namespace tovali
