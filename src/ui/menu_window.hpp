#pragma once

#include <QPoint>
#include <functional>
#include <memory>
#include <optional>

class QWidget;

namespace tovali {

class Accessibility;
class BluetoothServer;
class LoginItem;
class MenuView;

/// The window that holds the menu view: a borderless popover by the tray icon that hides when
/// it loses focus, or, where the desktop has no tray, an ordinary small window.
class MenuWindow {
public:
    enum class Style { popover, window };

    MenuWindow(BluetoothServer& server, Accessibility& accessibility, LoginItem& loginItem,
               std::function<void()> quit, Style style);
    ~MenuWindow();
    MenuWindow(const MenuWindow&) = delete;
    MenuWindow& operator=(const MenuWindow&) = delete;

    /// Shows the window, near the point when one is given and kept on its screen, or hides it
    /// when it is shown.
    void toggle(std::optional<QPoint> near);
    /// Shows the window and brings it to the front.
    void present(std::optional<QPoint> near = std::nullopt);

    QWidget& window();
    MenuView& view();

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
};

} // namespace tovali
