#include <QString>

#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "support/app_world.hpp"
#include "support/test_watch.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/X.h>
#include <X11/keysym.h>

namespace {

using namespace tovali;
using namespace tovali::test;

const QString signalCharacteristic = QString::fromStdString(gatt::signal.toString()).toLower();

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
    const auto code = watch.startPairing();
    ASSERT_TRUE(code) << world.log();

    const auto panel = world.waitForWindow("Let “Test Watch” control this Mac?");
    ASSERT_TRUE(panel) << world.log();
    // --verbose tells of the pairing, never of its code.
    EXPECT_NE(world.log().find("pairing asked for by “Test Watch”"), std::string::npos)
        << world.log();
    EXPECT_EQ(world.log().find(*code), std::string::npos) << world.log();
    EXPECT_EQ(world.cardinalProperty(*panel, "_NET_WM_DESKTOP"), 0xFFFFFFFFul)
        << "the panel belongs on every workspace";
    world.focus(*panel);
    ASSERT_TRUE(world.waitForFocus(*panel));
    waitUntil([] { return false; }, 1100); // Allow counts once the panel has been read
    world.pressKey(XK_Return);
    ASSERT_TRUE(world.bluez().waitForNotifications(device, 1)) << world.log();
    ASSERT_TRUE(watch.finishSession());

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

} // namespace
