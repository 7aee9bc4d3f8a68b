// The real application as a user meets it, started as a program against bluetoothd's stand-in:
// a watch pairs through the panel, allowed with the Return key once the panel has been read, and
// moves the pointer on the X server, a wlroots compositor or the RemoteDesktop portal.
#include <QElapsedTimer>
#include <QString>
#include <cmath>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "support/app_world.hpp"
#include "support/bluez_stand_in.hpp"
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

void pause(int ms) {
    waitUntil([] { return false; }, ms);
}

std::string panelTitle(const std::string& name) {
    return "Let “" + name + "” control this computer?";
}

/// One connection of a watch on the stand-in, listening for signals; it leaves when destroyed.
struct Watch {
    Watch(AppWorld& in, const std::string& name,
          const crypto::PrivateKey& key = crypto::PrivateKey::generate(),
          const char* address = "C0:FF:EE:00:00:02")
        : world(in), device(in.bluez().connectDevice(address)),
          before(static_cast<int>(
              (in.bluez().subscribe(device, signal), in.bluez().notifications(device).size()))),
          radio(in.bluez(), device), watch(radio, name, key) {}
    ~Watch() { world.bluez().disconnectDevice(device); }
    bool answered(int timeoutMs = 5000) {
        return world.bluez().waitForNotifications(device, before + 1, timeoutMs);
    }

    inline static const QString signal = QString::fromStdString(gatt::signal.toString()).toLower();
    AppWorld& world;
    QString device;
    int before; // the device keeps its notifications across connections
    StandInRadio radio;
    TestWatch watch;
};

/// The user gives the panel the focus and presses Return once it has been read; answers the code
/// the watch showed.
std::string pairThroughThePanel(AppWorld& world, Watch& watch, const std::string& name) {
    const auto code = watch.watch.startPairing();
    const auto panel = code ? world.waitForWindow(panelTitle(name)) : std::nullopt;
    EXPECT_TRUE(panel) << world.log();
    if (!panel)
        return {};
    EXPECT_EQ(world.cardinalProperty(*panel, "_NET_WM_DESKTOP"), 0xFFFFFFFFul)
        << "the panel belongs on every workspace";
    world.focus(*panel);
    EXPECT_TRUE(world.waitForFocus(*panel));
    pause(1100); // the panel's first second, which its own tests check
    world.pressKey(XK_Return);
    EXPECT_TRUE(watch.answered() && watch.watch.finishSession()) << world.log();
    return *code;
}

// One copy runs: a second start, as from the applications menu while "Open at login" started
// the first, brings the first forward and leaves. Strangers' panels never take the keyboard and
// a stranger who keeps trying is slowed to a few panels.
TEST(TovaliApp, onX11_oneCopy_guardedPanel_heldButtonLetGoAtQuit) {
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {"--verbose"}), "");
    const auto window = world.waitForWindow("Tovali");
    ASSERT_TRUE(window) << "no tray here, so the menu window opens\n" << world.log();
    ASSERT_TRUE(world.bluez().waitForRegistrations()) << world.log();

    for (const bool sessionBus : {true, false}) {
        SCOPED_TRACE(sessionBus ? "with a session bus" : "with the lock file alone");
        const unsigned long other = world.openWindow("Other");
        ChildProcess second;
        ASSERT_EQ(world.launchAnother(second, TOVALI_EXECUTABLE, sessionBus), "");
        std::string ended;
        waitUntil([&] { return !(ended = second.exitDescription()).empty(); }, 10000);
        EXPECT_EQ(ended, "it exited with status 0") << world.log();
        // Only the bus carries the request to come forward.
        if (sessionBus) {
            EXPECT_TRUE(waitUntil([&] { return world.isAbove(*window, other); })) << world.log();
        }
    }
    EXPECT_NE(world.log().find("already running"), std::string::npos) << world.log();
    EXPECT_EQ(world.app().exitDescription(), "") << "the first one keeps running";
    EXPECT_EQ(world.bluez().applicationRegistrations(), 1);
    EXPECT_EQ(world.bluez().advertisementRegistrations(), 1);

    const unsigned long editor = world.openWindow("Editor");
    world.focus(editor);
    const auto strangerKey = crypto::PrivateKey::generate();
    const char* strangerAddress = "C0:FF:EE:00:00:03";
    {
        Watch stranger(world, "Stranger", strangerKey, strangerAddress);
        ASSERT_TRUE(stranger.watch.startPairing() && world.waitForWindow(panelTitle("Stranger")))
            << world.log();
        pause(1100);
        for (const unsigned long keysym : {XK_Return, XK_space, XK_a, XK_KP_Enter})
            world.pressKey(keysym);
        EXPECT_FALSE(stranger.answered(300)) << "typed in another window";
        EXPECT_TRUE(world.waitForFocus(editor, 0)) << "the editor keeps the keyboard";
    }
    pause(2500); // the wait after one pairing that was not allowed

    Watch watch(world, "Test Watch");
    const std::string code = pairThroughThePanel(world, watch, "Test Watch");
    ASSERT_FALSE(code.empty());
    // --verbose tells of the pairing, never of its code.
    EXPECT_NE(world.log().find("pairing asked for by “Test Watch”"), std::string::npos)
        << world.log();
    EXPECT_EQ(world.log().find(code), std::string::npos) << world.log();

    // Waits of 2, 4 and 8 s after each panel left unanswered.
    int panels = 0;
    QElapsedTimer cycling;
    cycling.start();
    while (cycling.elapsed() < 8000)
        panels +=
            Watch(world, "Stranger", strangerKey, strangerAddress).watch.startPairing() ? 1 : 0;
    EXPECT_GE(panels, 1);
    EXPECT_LE(panels, 4);

    watch.watch.button(MouseButton::left, ButtonAction::down);
    ASSERT_TRUE(waitUntil([&] { return (world.pointer().buttons & Button1Mask) != 0; }));
    EXPECT_EQ(world.terminate(), "it exited with status 0") << world.log();
    EXPECT_EQ(world.pointer().buttons & Button1Mask, 0u);
}

// A Wayland session: left to choose on a wlroots compositor (with an X server beside it for the
// windows, as Xwayland would be), Tovali takes the virtual pointer; forced onto the RemoteDesktop
// portal (the real frontend, the desktop's side standing in), it starts a session at launch.
// Clicks and letting go on both routes are the adapters' tests' (tests/platform).
TEST(TovaliApp, onWayland_watchMovesThePointerThroughWlrootsOrTheForcedPortal) {
    HeadlessSway sway;
    ASSERT_EQ(sway.error(), "");
    WaylandObserver observer(sway.socket());
    ASSERT_EQ(observer.error(), "");
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    PortalWorld portal(world.sessionBusAddress());
    ASSERT_EQ(portal.error(), "");
    const std::vector<std::string> wayland{"WAYLAND_DISPLAY=" + sway.socket(),
                                           "XDG_SESSION_TYPE=wayland", "XDG_CURRENT_DESKTOP=GNOME"};
    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {}, wayland), "");
    ASSERT_TRUE(world.bluez().waitForRegistrations()) << world.log();
    const auto key = crypto::PrivateKey::generate();
    {
        Watch watch(world, "Test Watch", key);
        ASSERT_NE(pairThroughThePanel(world, watch, "Test Watch"), "");
        // Where it lands is the adapter's tests' and the input engine's.
        watch.watch.move(120, 80);
        EXPECT_TRUE(observer.waitFor("motion", 1)) << world.log();
    }
    EXPECT_EQ(world.terminate(), "it exited with status 0") << world.log();
    EXPECT_EQ(portal.backend().callCount("Start"), 0u) << "the virtual pointer needs no portal";

    ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {"--pointer=portal"}, wayland), "");
    ASSERT_TRUE(waitUntil([&] { return portal.backend().callCount("Start") == 1; })) << world.log();
    Watch watch(world, "Test Watch", key);
    ASSERT_TRUE(watch.watch.openTrustedSession()) << world.log();
    watch.watch.move(120, 0);
    EXPECT_TRUE(waitUntil([&] { return std::abs(portal.backend().movedX - 120) < 1e-6; }))
        << portal.backend().movedX;
}

// `tovali --diagnose` against bluetoothd's stand-in in one state after another: the exit status,
// and exactly the one piece of advice that each state calls for.
TEST(Diagnose, givesTheAdviceEachStateOfBluetoothCallsFor) {
    AppWorld world;
    ASSERT_EQ(world.error(), "");
    BluezStandIn& bluez = world.bluez();
    const struct {
        const char* state;
        std::function<void()> arrange, undo;
        std::string advice;
    } cases[] = {
        {"all well", [] {}, [] {}, ""},
        {"registration refused",
         [&] { bluez.refuseRegistrations(tovali::bluez::failedError, "No object received"); },
         [&] { bluez.refuseRegistrations({}); }, "bluetoothd refused the service: "},
        {"unpowered", [&] { bluez.setPowered(false); }, [&] { bluez.setPowered(true); },
         "Bluetooth is off: switch it on with \u2018bluetoothctl power on\u2019"},
        {"no adapter", [&] { bluez.removeAdapter(); }, [&] { bluez.restoreAdapter(); },
         "bluetoothd shows no Bluetooth adapter"},
        {"no LE",
         [&] {
             bluez.setLePeripheral(false);
             bluez.restart();
         },
         [] {}, "This adapter cannot be a Bluetooth LE peripheral"},
        {"no daemon", [&] { bluez.stop(); }, [] {},
         "bluetoothd is not running: install and start it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        c.arrange();
        ASSERT_EQ(world.launch(TOVALI_EXECUTABLE, {"--diagnose"}), "");
        std::string ended;
        // The stand-in answers from this thread, so the wait runs its event loop.
        waitUntil([&] { return !(ended = world.app().exitDescription()).empty(); }, 10000);
        const std::string report = world.log();
        EXPECT_EQ(ended, c.advice.empty() ? "it exited with status 0" : "it exited with status 1");
        EXPECT_NE(report.find(c.advice.empty() ? "All is in place."
                                               : "1 problem, and what to do:\n  - " + c.advice),
                  std::string::npos)
            << report;
        c.undo();
    }
}

} // namespace
