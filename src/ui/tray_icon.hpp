#pragma once

#include <QPoint>
#include <functional>
#include <memory>
#include <optional>

#include "common/published.hpp"
#include "server/pairing_request.hpp"
#include "server/status.hpp"
#include "ui/symbols.hpp"

class QMenu;
class QSystemTrayIcon;

namespace tovali {

class BluetoothServer;

/// The symbol the tray shows for the server's state.
Symbol traySymbol(const std::optional<PairingRequest>& pairingRequest, const Status& status,
                  bool accessibilityAllowed);

/// The tray icon: its image follows the server, and activating it opens the menu window.
class TrayIcon {
public:
    struct Actions {
        /// Opens or closes the menu window; the point is where the icon was activated, or
        /// none when the tray does not say.
        std::function<void(std::optional<QPoint> near)> toggleWindow;
        std::function<void()> quit;
    };

    TrayIcon(const BluetoothServer& server, Actions actions);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    void show();
    Symbol symbol() const { return symbol_; }
    QSystemTrayIcon& tray() { return *tray_; }

private:
    void redraw();

    Actions actions_;
    // What the server last published, which it may not hold yet while it tells.
    Status status_;
    std::optional<PairingRequest> pairingRequest_;
    bool accessibilityAllowed_;
    bool drawn_ = false;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    Symbol symbol_ = Symbol::watch;
    Subscription statusSubscription_;
    Subscription requestSubscription_;
    Subscription accessibilitySubscription_;
};

} // namespace tovali
