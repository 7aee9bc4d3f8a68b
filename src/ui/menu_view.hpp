#pragma once

#include <QWidget>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/published.hpp"
#include "server/pairing_request.hpp"
#include "server/status.hpp"
#include "trust/trusted_watch.hpp"

class QLabel;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace tovali {

class Accessibility;
class BluetoothServer;
class LoginItem;

/// The menu window's content: status, a pending pairing, the permission hint, the paired
/// watches, open at login, and quit. It follows the server and acts on it only through
/// answerPairing and forget.
class MenuView : public QWidget {
public:
    static constexpr int width = 300;

    MenuView(BluetoothServer& server, Accessibility& accessibility, LoginItem& loginItem,
             std::function<void()> quit, QWidget* parent = nullptr);
    ~MenuView() override;

    /// Always `width` wide, and as high as the content is at that width.
    QSize sizeHint() const override;

private:
    class Dot;

    // Each takes the value being published, which the server does not hold yet.
    void showStatus(const Status& status);
    void showPairingRequest(const std::optional<PairingRequest>& request);
    void showAccessibilityAllowed(bool allowed);
    void showWatches(const std::vector<TrustedWatch>& watches);
    void showStorageProblem(const std::optional<std::string>& problem);
    QWidget* makeWatchRow(const TrustedWatch& watch, bool nameShared);

    BluetoothServer& server_;
    Accessibility& accessibility_;
    std::function<void()> quit_;

    // Owned by the widget tree.
    Dot* statusDot_ = nullptr;
    QLabel* statusText_ = nullptr;
    QWidget* pairingBox_ = nullptr;
    QLabel* pairingMessage_ = nullptr;
    QLabel* pairingCode_ = nullptr;
    QPushButton* allow_ = nullptr;
    QTimer* arming_ = nullptr;
    /// The request the box shows; its answers name it.
    std::optional<PairingRequest> shownRequest_;
    QWidget* accessibilityBox_ = nullptr;
    QLabel* accessibilityMessage_ = nullptr;
    QPushButton* askButton_ = nullptr;
    QVBoxLayout* watchList_ = nullptr;
    QLabel* storageProblem_ = nullptr;

    Subscription statusSubscription_;
    Subscription watchesSubscription_;
    Subscription storageSubscription_;
    Subscription requestSubscription_;
    Subscription accessibilitySubscription_;
};

} // namespace tovali
