#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <memory>

#include <gtest/gtest.h>

#include "support/scripted_login_item.hpp"
#include "support/server_rig.hpp"
#include "ui/menu_window.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

class MenuWindowTest : public ::testing::Test {
protected:
    ~MenuWindowTest() override {
        menu.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QWidget& make(MenuWindow::Style style) {
        rig.startAdvertising();
        menu = std::make_unique<MenuWindow>(
            *rig.server, rig.accessibility, loginItem, [this] { ++quits; }, style);
        return menu->window();
    }
    static void deactivate(QWidget& window) {
        QEvent event(QEvent::WindowDeactivate);
        QApplication::sendEvent(&window, &event);
    }

    ServerRig rig;
    ScriptedLoginItem loginItem;
    int quits = 0;
    std::unique_ptr<MenuWindow> menu;
};

TEST_F(MenuWindowTest, popoverToggle_nearAnyPoint_staysOnScreenAndHidesWhenDeactivated) {
    QWidget& window = make(MenuWindow::Style::popover);
    menu->toggle(QPoint(40, 30));
    EXPECT_EQ(window.pos(), QPoint(40, 30));
    menu->toggle(QPoint(40, 30));
    EXPECT_FALSE(window.isVisible());

    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    for (const QPoint near : {area.bottomRight(), area.topLeft() - QPoint(50, 50)}) {
        menu->toggle(near);
        ASSERT_TRUE(window.isVisible());
        EXPECT_TRUE(area.contains(window.geometry())) << near.x() << "," << near.y();
        menu->toggle(near);
    }

    menu->toggle(QPoint(40, 30));
    deactivate(window);
    EXPECT_FALSE(window.isVisible());
    menu->toggle(std::nullopt);
    EXPECT_FALSE(window.isVisible()) << "the tray click that took the activation closes it";
    menu->toggle(std::nullopt);
    EXPECT_TRUE(window.isVisible());
}

TEST_F(MenuWindowTest, windowStyle_deactivatedThenClosed_staysThenQuits) {
    QWidget& window = make(MenuWindow::Style::window);
    menu->present();
    deactivate(window);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(quits, 0);
    window.close();
    EXPECT_EQ(quits, 1);
}

} // namespace
