#pragma once

#include <memory>

#include "server/bluetooth_server.hpp"
#include "ui/app_delegate.hpp"

namespace tovali {

class Accessibility;
class LoginItem;
class TrayIcon;
class MenuWindow;

/// The application: the delegate with its server and panels, the tray icon and the menu window.
class TovaliApp {
public:
    struct Platform {
        BluetoothServer::Platform server;
        LoginItem& loginItem;
    };

    explicit TovaliApp(Platform platform);
    ~TovaliApp();
    TovaliApp(const TovaliApp&) = delete;
    TovaliApp& operator=(const TovaliApp&) = delete;

    /// Puts the icon in the tray, or opens the menu window where there is no tray, then
    /// finishes launching.
    void launch();

    /// Brings the menu window to the front, as when another start of Tovali asks for it.
    void showWindow();

    AppDelegate& appDelegate() { return appDelegate_; }
    /// Null when the desktop has no tray.
    TrayIcon* icon() { return icon_.get(); }
    MenuWindow& menuWindow() { return *menuWindow_; }

private:
    AppDelegate appDelegate_;
    LoginItem& loginItem_;
    Accessibility& accessibility_;
    std::unique_ptr<MenuWindow> menuWindow_;
    std::unique_ptr<TrayIcon> icon_;
};

} // namespace tovali
