#include <QString>
#include <cmath>
#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "support/app_world.hpp"
#include "support/headless_sway.hpp"
#include "support/test_watch.hpp"
#include "support/wayland_observer.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/keysym.h>

namespace {

using namespace tovali;
using namespace tovali::test;
using Event = WaylandObserver::Event;

// A Wayland session on a wlroots compositor, with an X server beside it for the windows as
// Xwayland would be: left to choose, Tovali takes the virtual pointer, and a window on the
// compositor sees the watch move the pointer and click.
TEST(TovaliApp, onWlroots_watchMovesThePointerAndClicksThroughTheVirtualPointer) {
    HeadlessSway sway;
    ASSERT_EQ(sway.error(), "");
    WaylandObserver observer(sway.socket());
    ASSERT_EQ(observer.error(), "");
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE,
                           {"WAYLAND_DISPLAY=" + sway.socket(), "XDG_SESSION_TYPE=wayland"}),
              "");
    ASSERT_TRUE(world.bluez().waitForRegistrations()) << world.log();

    const QString device = world.bluez().connectDevice("C0:FF:EE:00:00:01");
    world.bluez().subscribe(device, QString::fromStdString(gatt::signal.toString()).toLower());
    StandInRadio radio(world.bluez(), device);
    TestWatch watch(radio, "Test Watch");
    ASSERT_TRUE(watch.startPairing()) << world.log();
    const auto panel = world.waitForWindow("Let “Test Watch” control this computer?");
    ASSERT_TRUE(panel) << world.log();
    ASSERT_TRUE(world.waitForFocus(*panel));
    world.pressKey(XK_Return);
    ASSERT_TRUE(world.bluez().waitForNotifications(device, 1)) << world.log();
    ASSERT_TRUE(watch.finishSession());

    // The compositor's pointer starts where it likes: a first move, once settled, shows where.
    watch.move(10, 10);
    ASSERT_TRUE(observer.waitFor("motion", 1)) << world.log();
    waitUntil([&] { return observer.read(5), false; }, 500);
    const double x = observer.x;
    const double y = observer.y;
    watch.move(120, 80);
    EXPECT_TRUE(waitUntil([&] {
        observer.read(5);
        return std::abs(observer.x - (x + 120)) < 0.01 && std::abs(observer.y - (y + 80)) < 0.01;
    })) << "the pointer is at "
        << observer.x << ", " << observer.y << " from " << x << ", " << y;

    observer.clear();
    watch.button(MouseButton::left, ButtonAction::down);
    watch.button(MouseButton::left, ButtonAction::up);
    ASSERT_TRUE(observer.waitFor("button", 2)) << world.log();
    // Quitting with a button held lets go of it.
    watch.button(MouseButton::left, ButtonAction::down);
    ASSERT_TRUE(observer.waitFor("button", 3));
    EXPECT_EQ(world.terminate(), "it exited with status 0") << world.log();
    EXPECT_TRUE(observer.waitFor("button", 4));
    EXPECT_EQ(observer.events({"button"}), (std::vector<Event>{{"button", BTN_LEFT, 1},
                                                               {"button", BTN_LEFT, 0},
                                                               {"button", BTN_LEFT, 1},
                                                               {"button", BTN_LEFT, 0}}));
}

} // namespace
