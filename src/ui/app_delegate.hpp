#pragma once

#include "common/published.hpp"
#include "server/bluetooth_server.hpp"
#include "ui/accessibility_panel.hpp"
#include "ui/pairing_panel.hpp"

namespace tovali {

/// Owns the one server and the two panels, and drives the panels from what the server publishes.
class AppDelegate {
public:
    explicit AppDelegate(BluetoothServer::Platform platform);
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    /// Subscribes the panels to the server and asks for the permission if it is missing.
    void applicationDidFinishLaunching();

    BluetoothServer& server() { return server_; }
    PairingPanel& pairingPanel() { return pairingPanel_; }
    AccessibilityPanel& accessibilityPanel() { return accessibilityPanel_; }

private:
    Accessibility& accessibility_;
    BluetoothServer server_;
    PairingPanel pairingPanel_;
    AccessibilityPanel accessibilityPanel_;
    Subscription subscription_;
    Subscription accessibilitySubscription_;
};

} // namespace tovali
