// The application against the real kernel Bluetooth stack and bluetoothd, in a virtual machine
// (tests/vm/run-vm): the application advertises on hci0, and test watches use BlueZ's central
// API on hci1 and hci2 over the emulated radio. The scenarios share one application and run in
// order; a watch paired in one is trusted in the next.
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "link/wire_messages.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/test_watch.hpp"
#include "vm/bluez_central.hpp"
#include "vm/vm_world.hpp"

// After Qt and the test support: Xlib's macros clash with them.
#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

using namespace tovali;
using namespace tovali::test;
using Clock = std::chrono::steady_clock;

const QString service = uuidText(gatt::service);
const QString peripheralAdapter = QStringLiteral("/org/bluez/hci0");
// Rediscovery after a restart can miss bluetoothd's first scan windows of 10.24 s each.
constexpr int discoveryMs = 60000;

/// One watch with its own controller, key and name.
struct Watch {
    Watch(const char* adapter, const char* watchName)
        : central(QString::fromLatin1(adapter)), key(crypto::PrivateKey::generate()),
          name(watchName) {}

    /// Finds the computer on the air, connects and listens for signals; empty, or why not.
    std::string reach() {
        const auto found = central.discover(service, discoveryMs);
        if (!found)
            return "the computer was not found";
        foundName = found->name;
        if (const QString error = central.connect(found->device); !error.isEmpty())
            return error.toStdString();
        if (const QString error = central.subscribe(gatt::signal); !error.isEmpty())
            return error.toStdString();
        link = std::make_unique<TestWatch>(central, name, key);
        return {};
    }

    BluezCentral central;
    crypto::PrivateKey key;
    std::string name;
    QString foundName;
    std::unique_ptr<TestWatch> link;
};

class RealStack : public testing::Test {
protected:
    static void SetUpTestSuite() { world = new VmWorld; }
    static void TearDownTestSuite() {
        delete first;
        delete world;
    }

    void SetUp() override { ASSERT_EQ(world->error(), "") << world->logs(); }

    /// Pairs the watch through the panel, as the user gives it the focus and, once it has been
    /// shown for a second, allows it with Return; true once the session is open.
    static bool pair(Watch& watch) {
        const int before = watch.central.notifications();
        if (!watch.link->startPairing())
            return false;
        const auto panel =
            world->app().waitForWindow("Let “" + watch.name + "” control this computer?", 10000);
        if (!panel)
            return false;
        world->app().focus(*panel);
        if (!world->app().waitForFocus(*panel))
            return false;
        waitUntil([] { return false; }, 1100);
        world->app().pressKey(XK_Return);
        return waitUntil([&] { return watch.central.notifications() > before; }, 10000) &&
               watch.link->finishSession();
    }

    /// The pointer moves by (dx, dy) within `timeoutMs`.
    static bool moves(TestWatch& watch, std::int16_t dx, std::int16_t dy, int timeoutMs = 5000) {
        const auto start = world->app().pointer();
        watch.move(dx, dy);
        return waitUntil(
            [&] {
                const auto now = world->app().pointer();
                return now.x == start.x + dx && now.y == start.y + dy;
            },
            timeoutMs);
    }

    /// Exactly one application and one advertisement stand, both on the peripheral's adapter.
    static bool oneRegistration() {
        const QMap<QString, int> expected{{"Application " + peripheralAdapter, 1},
                                          {"Advertisement " + peripheralAdapter, 1}};
        QMap<QString, int> standing;
        const bool settled = waitUntil(
            [&] {
                standing = world->registrations();
                standing.removeIf([](const auto& entry) { return entry.value() == 0; });
                return standing == expected &&
                       world->activeAdvertisements(peripheralAdapter) == 1 &&
                       world->activeAdvertisements("/org/bluez/hci1") == 0 &&
                       world->activeAdvertisements("/org/bluez/hci2") == 0;
            },
            10000);
        for (auto it = standing.cbegin(); it != standing.cend(); ++it)
            std::printf("registered: %s %d\n", qPrintable(it.key()), it.value());
        return settled;
    }

    static inline VmWorld* world = nullptr;
    static inline Watch* first = nullptr;
};

TEST_F(RealStack, advertisesTheServiceUnderTheComputersName) {
    first = new Watch("/org/bluez/hci1", "Test Watch");
    ASSERT_EQ(first->reach(), "") << world->logs();
    EXPECT_EQ(first->foundName, "tovali-vm");
    const QMap<QString, QStringList> expected{
        {uuidText(gatt::request), {"write"}},
        {uuidText(gatt::reply), {"read"}},
        {uuidText(gatt::signal), {"notify"}},
        {uuidText(gatt::input), {"write-without-response"}},
    };
    EXPECT_EQ(first->central.characteristics(service), expected);
    EXPECT_TRUE(oneRegistration());
}

// The hello and the replies are longer than the MTU: long writes and blob reads carry them.
TEST_F(RealStack, pairsThroughThePanelThenMovesAndClicks) {
    ASSERT_TRUE(first && first->link);
    ASSERT_TRUE(pair(*first)) << world->logs();
    EXPECT_TRUE(moves(*first->link, 120, 80)) << world->logs();

    Display* display = world->app().display();
    const Window catcher = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1024, 768, 0, 0,
                                         InputOnly, CopyFromParent, 0, nullptr);
    XSelectInput(display, catcher, ButtonPressMask | ButtonReleaseMask);
    XMapRaised(display, catcher);
    XSync(display, False);
    first->link->button(MouseButton::left, ButtonAction::click);
    XEvent event;
    EXPECT_TRUE(waitUntil([&] {
        return XCheckTypedWindowEvent(display, catcher, ButtonRelease, &event) == True;
    })) << "the click did not land";
    XDestroyWindow(display, catcher);

    // From the watch's write to the pointer's first move, as the user feels it.
    std::vector<double> latencies;
    for (int i = 0; i < 60; ++i) {
        const auto start = world->app().pointer();
        const auto sent = Clock::now();
        first->link->move(i % 2 ? -4 : 4, 0);
        if (!waitUntil([&] { return world->app().pointer().x != start.x; }, 2000))
            continue;
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    ASSERT_GE(latencies.size(), 50u);
    std::ranges::sort(latencies);
    std::printf("input packet to pointer move over %zu packets: median %.1f ms, 95th percentile "
                "%.1f ms\n",
                latencies.size(), latencies[latencies.size() / 2],
                latencies[latencies.size() * 95 / 100]);
}

TEST_F(RealStack, aDisconnectReleasesAHeldButton) {
    ASSERT_TRUE(first && first->link && first->link->sessionKey());
    first->link->button(MouseButton::left, ButtonAction::down);
    ASSERT_TRUE(waitUntil([] { return (world->app().pointer().buttons & Button1Mask) != 0; }));
    first->central.disconnect();
    EXPECT_TRUE(waitUntil([] { return (world->app().pointer().buttons & Button1Mask) == 0; }))
        << world->logs();
}

// bluetoothd announces the adapters in no fixed order after a restart: whatever the order, one
// adapter carries the service and the advertisement.
TEST_F(RealStack, isFoundAgainAfterBluetoothdRestarts) {
    ASSERT_TRUE(first && first->link);
    for (int restart = 0; restart < 3; ++restart) {
        ASSERT_EQ(world->restartBluetoothd(), "");
        EXPECT_TRUE(oneRegistration()) << "after restart " << restart + 1;
    }
    ASSERT_EQ(first->reach(), "") << world->logs();
    EXPECT_TRUE(first->link->openTrustedSession()) << "a trusted watch needs no new pairing";
    EXPECT_TRUE(moves(*first->link, -30, 20));
    first->central.disconnect();
}

TEST_F(RealStack, isFoundAgainAfterTheAdapterIsPoweredOffAndOn) {
    ASSERT_TRUE(first && first->link);
    ASSERT_EQ(world->powerCycle(0), "");
    ASSERT_EQ(first->reach(), "") << world->logs();
    EXPECT_TRUE(first->link->openTrustedSession());
    EXPECT_TRUE(moves(*first->link, 25, -15));
    EXPECT_TRUE(oneRegistration());
}

// A second watch must find the computer while the first one is connected. (Connecting both at
// once breaks both links under btvirt: bluetoothd sees the second link as already connected and
// the ATT channels mix up their responses, before the application is involved.)
TEST_F(RealStack, staysVisibleWhileAWatchIsConnected) {
    ASSERT_TRUE(first && first->link && first->central.connected());
    BluezCentral other(QStringLiteral("/org/bluez/hci2"));
    const auto found = other.discover(service, discoveryMs);
    ASSERT_TRUE(found) << world->logs();
    EXPECT_EQ(found->name, "tovali-vm");
    EXPECT_TRUE(first->central.connected());
}

} // namespace
