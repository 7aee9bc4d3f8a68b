// Draws the menu window and both panels as a user meets them, and saves each as a PNG in the
// folder given, for the documentation. Run it on an X server (scripts/screenshots starts one).

#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <string>

#include "support/scripted_login_item.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"
#include "ui/app_delegate.hpp"
#include "ui/menu_view.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

bool save(QWidget* widget, const QString& path) {
    if (!widget) {
        std::fprintf(stderr, "screenshots: nothing to draw for %s\n", qPrintable(path));
        return false;
    }
    QApplication::processEvents();
    widget->adjustSize(); // as the menu's window does when its content changes
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

/// Tovali running with Blue Watch paired some days ago, on a desktop whose pointer needs a
/// permission that `remedy` says how to get.
struct Desktop {
    Desktop(PermissionRemedy remedy, const crypto::PrivateKey& bluesKey,
            ScriptedLoginItem& loginItem)
        : delegate(prepare(remedy, bluesKey)),
          menu(delegate.server(), rig.accessibility, loginItem, [] {}) {
        rig.peripheral->powerOnAndAdvertise();
        delegate.applicationDidFinishLaunching();
        menu.show();
    }

    BluetoothServer::Platform prepare(PermissionRemedy remedy, const crypto::PrivateKey& key) {
        rig.loop.setWallTime(818'000'000.0); // early December 2026
        rig.trust(key, "Blue Watch");
        rig.accessibility.trusted = false;
        rig.accessibility.remedyNow = remedy;
        return rig.platform();
    }

    ServerRig rig;
    AppDelegate delegate;
    MenuView menu;
};

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tovali-screenshots FOLDER\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);

    // One watch paired some days ago, a second one asking now, and no way to the desktop's
    // pointer but Xwayland's.
    const auto bluesKey = crypto::PrivateKey::generate();
    ScriptedLoginItem loginItem;
    loginItem.registered = true;
    Desktop xwayland(PermissionRemedy::changeSession, bluesKey, loginItem);
    TestWatch blue(*xwayland.rig.peripheral, "Blue Watch", bluesKey);
    bool ok = blue.openTrustedSession();
    ok = save(xwayland.delegate.accessibilityPanel().window(),
              folder + "/accessibility-panel.png") &&
         ok;
    // A pairing outranks the connection in the status, which closes the accessibility panel.
    TestWatch green(*xwayland.rig.peripheral, "Green Watch");
    ok = green.startPairing().has_value() && ok;
    ok = save(&xwayland.menu, folder + "/menu-window.png") && ok;
    ok = save(xwayland.delegate.pairingPanel().window(), folder + "/pairing-panel.png") && ok;

    // The same watch on a desktop that asks through the RemoteDesktop portal, whose dialog the
    // user closed.
    Desktop portal(PermissionRemedy::askDesktop, bluesKey, loginItem);
    TestWatch portalBlue(*portal.rig.peripheral, "Blue Watch", bluesKey);
    ok = portalBlue.openTrustedSession() && ok;
    ok = save(portal.delegate.accessibilityPanel().window(),
              folder + "/accessibility-panel-portal.png") &&
         ok;
    ok = save(&portal.menu, folder + "/menu-window-portal.png") && ok;
    return ok ? 0 : 1;
}
