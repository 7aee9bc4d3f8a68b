#include "ui/tray_icon.hpp"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTextDocument>

#include "server/bluetooth_server.hpp"
#include "ui/texts.hpp"

namespace tovali {

Symbol traySymbol(const std::optional<PairingRequest>& pairingRequest, const Status& status,
                  bool accessibilityAllowed) {
    if (pairingRequest) {
        return Symbol::watchAlert;
    }
    if (status.kind() == Status::Case::connected) {
        return accessibilityAllowed ? Symbol::watchConnected : Symbol::watchAlert;
    }
    return Symbol::watch;
}

TrayIcon::TrayIcon(const BluetoothServer& server, Actions actions)
    : actions_(std::move(actions)), status_(server.status().value()),
      pairingRequest_(server.pairingRequest().value()),
      accessibilityAllowed_(server.accessibilityAllowed().value()),
      menu_(std::make_unique<QMenu>()), tray_(std::make_unique<QSystemTrayIcon>()) {
    // Some trays (GNOME's AppIndicator host) open only this menu, on any click.
    QAction* open = menu_->addAction(Texts::tr("Tovali"));
    QObject::connect(open, &QAction::triggered, tray_.get(), [this] {
        if (actions_.toggleWindow) {
            actions_.toggleWindow(std::nullopt);
        }
    });
    menu_->addSeparator();
    QAction* quit = menu_->addAction(Texts::tr("Quit Tovali"));
    QObject::connect(quit, &QAction::triggered, tray_.get(), [this] {
        if (actions_.quit) {
            actions_.quit();
        }
    });
    tray_->setContextMenu(menu_.get());

    QObject::connect(tray_.get(), &QSystemTrayIcon::activated, tray_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason != QSystemTrayIcon::Trigger &&
                             reason != QSystemTrayIcon::DoubleClick) {
                             return;
                         }
                         // Over StatusNotifierItem the tray does not say where the icon is.
                         const QRect geometry = tray_->geometry();
                         std::optional<QPoint> near;
                         if (!geometry.isEmpty()) {
                             near = geometry.bottomLeft();
                         }
                         if (actions_.toggleWindow) {
                             actions_.toggleWindow(near);
                         }
                     });

    // The server tells before it stores: each handler keeps the value it is given.
    statusSubscription_ = server.status().subscribe([this](const Status& status) {
        status_ = status;
        redraw();
    });
    requestSubscription_ =
        server.pairingRequest().subscribe([this](const std::optional<PairingRequest>& request) {
            pairingRequest_ = request;
            redraw();
        });
    accessibilitySubscription_ = server.accessibilityAllowed().subscribe([this](bool allowed) {
        accessibilityAllowed_ = allowed;
        redraw();
    });
    redraw();
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::show() {
    tray_->show();
}

void TrayIcon::redraw() {
    const Symbol symbol = traySymbol(pairingRequest_, status_, accessibilityAllowed_);
    // The server republishes equal values often; a tray hears of a new icon only when it is.
    if (!drawn_ || symbol != symbol_) {
        symbol_ = symbol;
        tray_->setIcon(trayIcon(symbol));
        drawn_ = true;
    }
    // Trays may read a tool tip as markup; the watch's name in it stays plain text.
    const QString tip = Qt::convertFromPlainText(QString::fromStdString(statusText(status_)));
    if (tray_->toolTip() != tip) {
        tray_->setToolTip(tip);
    }
}

} // namespace tovali
