#include <QString>
#include <cmath>
#include <linux/input-event-codes.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "support/app_world.hpp"
#include "support/headless_sway.hpp"
#include "support/portal_stand_in.hpp"
#include "support/test_watch.hpp"
#include "support/wayland_observer.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/X.h>
#include <X11/keysym.h>

namespace {

using namespace tovali;
using namespace tovali::test;
using Event = WaylandObserver::Event;

const QString signalCharacteristic = QString::fromStdString(gatt::signal.toString()).toLower();

/// Pairs the watch as a user would: gives the pairing panel the focus, allows with the Return
/// key once the panel has been read, and opens its first session.
void pairThroughThePanel(AppWorld& world, TestWatch& watch, const QString& device,
                         std::string* shownCode = nullptr) {
    const auto code = watch.startPairing();
    ASSERT_TRUE(code) << world.log();
    if (shownCode)
        *shownCode = *code;
    const auto panel = world.waitForWindow("Let “Test Watch” control this computer?");
    ASSERT_TRUE(panel) << world.log();
    EXPECT_EQ(world.cardinalProperty(*panel, "_NET_WM_DESKTOP"), 0xFFFFFFFFul)
        << "the panel belongs on every workspace";
    world.focus(*panel);
    ASSERT_TRUE(world.waitForFocus(*panel));
    waitUntil([] { return false; }, 1100); // Allow counts once the panel has been read
    world.pressKey(XK_Return);
    ASSERT_TRUE(world.bluez().waitForNotifications(device, 1)) << world.log();
    ASSERT_TRUE(watch.finishSession());
}

// The real application as a user meets it: a watch pairs, the user gives the pairing panel the
// focus and allows it with the Return key, and the watch moves the pointer on the X server.
TEST(TovaliApp, watchPairsThroughThePanelAndMovesThePointer) {
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {"--verbose"}), "");
    ASSERT_TRUE(world.waitForWindow("Tovali")) << "no tray here, so the menu window opens\n"
                                               << world.log();
    ASSERT_TRUE(world.bluez().waitForRegistrations()) << world.log();

    const QString device = world.bluez().connectDevice("C0:FF:EE:00:00:01");
    world.bluez().subscribe(device, signalCharacteristic);
    StandInRadio radio(world.bluez(), device);
    TestWatch watch(radio, "Test Watch");
    std::string code;
    ASSERT_NO_FATAL_FAILURE(pairThroughThePanel(world, watch, device, &code));
    // --verbose tells of the pairing, never of its code.
    EXPECT_NE(world.log().find("pairing asked for by “Test Watch”"), std::string::npos)
        << world.log();
    EXPECT_EQ(world.log().find(code), std::string::npos) << world.log();

    const auto start = world.pointer();
    watch.move(120, 80);
    EXPECT_TRUE(waitUntil([&] {
        const auto now = world.pointer();
        return now.x == start.x + 120 && now.y == start.y + 80;
    })) << "the pointer is at "
        << world.pointer().x << ", " << world.pointer().y;

    // Quitting with a button held lets go of it.
    watch.button(MouseButton::left, ButtonAction::down);
    ASSERT_TRUE(waitUntil([&] { return (world.pointer().buttons & Button1Mask) != 0; }));
    EXPECT_EQ(world.terminate(), "it exited with status 0") << world.log();
    EXPECT_EQ(world.pointer().buttons & Button1Mask, 0u);
}

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
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {},
                           {"WAYLAND_DISPLAY=" + sway.socket(), "XDG_SESSION_TYPE=wayland"}),
              "");
    ASSERT_TRUE(world.bluez().waitForRegistrations()) << world.log();

    const QString device = world.bluez().connectDevice("C0:FF:EE:00:00:01");
    world.bluez().subscribe(device, signalCharacteristic);
    StandInRadio radio(world.bluez(), device);
    TestWatch watch(radio, "Test Watch");
    ASSERT_NO_FATAL_FAILURE(pairThroughThePanel(world, watch, device));

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

// A Wayland desktop that offers only the RemoteDesktop portal (the real frontend, with the
// desktop's side standing in): forced onto the portal, Tovali starts a session at launch, and
// the desktop sees the watch move the pointer and click, and the button let go at quit.
TEST(TovaliApp, onThePortal_watchMovesThePointerAndClicksThroughTheSession) {
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    PortalWorld portal(world.sessionBusAddress());
    ASSERT_EQ(portal.error(), "");
    PortalStandIn& desktop = portal.backend();
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {"--pointer=portal"}, {"XDG_CURRENT_DESKTOP=GNOME"}),
              "");
    ASSERT_TRUE(world.bluez().waitForRegistrations()) << world.log();
    ASSERT_TRUE(waitUntil([&] { return desktop.callCount("Start") == 1; })) << world.log();

    const QString device = world.bluez().connectDevice("C0:FF:EE:00:00:02");
    world.bluez().subscribe(device, signalCharacteristic);
    StandInRadio radio(world.bluez(), device);
    TestWatch watch(radio, "Test Watch");
    ASSERT_NO_FATAL_FAILURE(pairThroughThePanel(world, watch, device));

    watch.move(120, 0);
    EXPECT_TRUE(waitUntil([&] { return std::abs(desktop.movedX - 120) < 1e-6; })) << desktop.movedX;
    watch.button(MouseButton::left, ButtonAction::down);
    watch.button(MouseButton::left, ButtonAction::up);
    watch.button(MouseButton::right, ButtonAction::down);
    ASSERT_TRUE(waitUntil([&] { return desktop.callCount("NotifyPointerButton") == 3; }))
        << world.log();
    EXPECT_EQ(world.terminate(), "it exited with status 0") << world.log();
    ASSERT_TRUE(waitUntil([&] { return desktop.callCount("Close") == 1; }));
    std::vector<std::pair<int, unsigned>> buttons;
    for (const auto& call : desktop.callsTo("NotifyPointerButton"))
        buttons.emplace_back(call.arguments.at(2).toInt(), call.arguments.at(3).toUInt());
    EXPECT_EQ(buttons, (std::vector<std::pair<int, unsigned>>{
                           {BTN_LEFT, 1}, {BTN_LEFT, 0}, {BTN_RIGHT, 1}, {BTN_RIGHT, 0}}));
}

} // namespace
