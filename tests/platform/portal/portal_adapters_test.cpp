// The portal route against the real xdg-desktop-portal, whose backend is a stand-in: the
// frontend refuses calls of the wrong D-Bus types, so a call the backend sees had the right ones.
#include <QDBusConnection>
#include <linux/input-event-codes.h>

#include <gtest/gtest.h>

#include "platform/portal/portal_adapters.hpp"
#include "platform/portal/portal_event_poster.hpp"
#include "support/bluez_stand_in.hpp"
#include "support/event_recorder.hpp"
#include "support/memory_defaults.hpp"
#include "support/portal_stand_in.hpp"

namespace tovali::test {
namespace {

using State = PortalSession::State;
using Buttons = std::vector<std::tuple<int, unsigned, double>>;
using enum MouseEventType;

// The application's side: the route on a connection of its own, on a 1920 × 1080 display.
struct Client {
    static inline int clients = 0;
    EventRecorder screen;
    MemoryDefaults defaults;
    CapturedLog log;
    PortalAdapters route;

    explicit Client(const QString& address)
        : route(makePortalAdapters(QDBusConnection::connectToBus(
                                       address, QStringLiteral("portal-client-%1").arg(++clients)),
                                   screen, defaults, log, 0.5, "GNOME")) {}
    bool reaches(State state) {
        return waitUntil([&] { return route.session->state() == state; });
    }
    bool starts() {
        route.accessibility->promptForPermission();
        return reaches(State::started);
    }
    void post(MouseEventType type, Point at = {970.5, 535}) {
        route.events->postMouseEvent({.type = type, .location = at});
    }
};

// Each button with the motion that reached the desktop before it.
Buttons buttons(const PortalStandIn& portal) {
    Buttons seen;
    for (const auto& call : portal.callsTo("NotifyPointerButton"))
        seen.emplace_back(call.arguments.at(2).toInt(), call.arguments.at(3).toUInt(),
                          call.movedBefore);
    return seen;
}

class PortalAdaptersTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(world.error(), ""); }
    PortalWorld world;
    PortalStandIn& backend = world.backend();
};

// Whatever a session holds goes with it: a press never outlives its session, and a release
// reaches only the session that saw its press. The desktop handles each call on a thread of its
// own, so a button waits for the moves before it, and the moves after it wait for its answer.
TEST_F(PortalAdaptersTest, session_startsOnceAndAnew_keepingButtonsBalancedAndAfterTheirMoves) {
    Client client(world.address());
    EXPECT_FALSE(client.route.accessibility->isProcessTrusted());
    backend.startCode = 1; // the user cancels
    client.route.accessibility->promptForPermission();
    ASSERT_TRUE(client.reaches(State::refused));
    client.post(leftMouseDown);

    backend.startCode = 0;
    client.route.accessibility->promptForPermission();
    ASSERT_TRUE(client.starts()) << client.log.lines.back();
    EXPECT_EQ(backend.callCount("CreateSession"), 2U);
    EXPECT_EQ(backend.callsTo("SelectDevices").back().options.value("types"), 2U);
    const int m = NotifyQueue::maxInFlight;
    double x = 960; // from the middle of the display
    for (auto type : {leftMouseDown, leftMouseDown, rightMouseDown, leftMouseUp}) {
        for (int i = 0; i < m; ++i)
            client.post(mouseMoved, {++x, 540});
        client.post(type, {x, 540});
    }
    client.post(leftMouseUp, {x, 540});
    ASSERT_TRUE(waitUntil([&] { return buttons(backend).size() == 3; }));
    EXPECT_LT(backend.callCount("NotifyPointerMotion"), 2U * m) << "moves past the cap are summed";
    backend.closeSession();
    ASSERT_TRUE(client.reaches(State::closed));
    EXPECT_FALSE(client.route.accessibility->isProcessTrusted());

    // Each new session's moves start from the middle again: the desktop had the pointer.
    ASSERT_TRUE(client.starts());
    client.post(rightMouseUp);
    client.post(leftMouseDown);
    ASSERT_TRUE(waitUntil([&] { return buttons(backend).size() == 4; }));
    // A portal that goes away takes the permission with it, and brings it back on its return.
    world.stopFrontend();
    ASSERT_TRUE(client.reaches(State::gone));
    ASSERT_TRUE(world.startFrontend()) << world.error();
    ASSERT_TRUE(client.reaches(State::started));
    EXPECT_EQ(backend.callCount("CreateSession"), 4U);
    client.post(rightMouseDown);
    client.post(leftMouseUp);
    const std::size_t closes = backend.callCount("Close");
    client.route = {}; // quits
    ASSERT_TRUE(waitUntil([&] { return backend.callCount("Close") > closes; }));
    EXPECT_EQ(buttons(backend), (Buttons{{BTN_LEFT, 1, m},
                                         {BTN_RIGHT, 1, 3 * m},
                                         {BTN_LEFT, 0, 4 * m},
                                         {BTN_LEFT, 1, 4 * m + 10.5},
                                         {BTN_RIGHT, 1, 4 * m + 21},
                                         {BTN_RIGHT, 0, 4 * m + 21}}));
}

TEST_F(PortalAdaptersTest, scroll_followsTheDesktopsSignAndScale_andFinishesOnceAfterItsSeries) {
    Client client(world.address());
    ASSERT_TRUE(client.starts());
    using Series = std::vector<std::tuple<double, double, bool>>;
    // What the desktop saw, each run of scrolling summed, and each finish apart.
    const auto seen = [&] {
        Series series;
        for (const auto& call : backend.callsTo("NotifyPointerAxis")) {
            const bool finish = call.options.value("finish").toBool();
            if (finish || series.empty() || std::get<2>(series.back()))
                series.emplace_back(0, 0, finish);
            std::get<0>(series.back()) += call.arguments.at(2).toDouble();
            std::get<1>(series.back()) += call.arguments.at(3).toDouble();
        }
        return series;
    };
    // 48 pixels up and 24 to the right, again and again.
    const struct {
        const char* desktop;
        double dx, dy;
    } desktops[] = {
        {"GNOME", 5, -10}, {"ubuntu:GNOME", 5, -10}, {"KDE", 7.5, 15}, {"sway", 5, -10}};
    const int scrolls = 2 * NotifyQueue::maxInFlight;
    for (const auto& desktop : desktops) {
        SCOPED_TRACE(desktop.desktop);
        PortalEventPoster poster(*client.route.session, client.screen, 0.5,
                                 scrollStyleFor(desktop.desktop));
        backend.forgetCalls();
        for (int i = 0; i < scrolls; ++i)
            poster.postScrollEvent({.vertical = 48, .horizontal = -24, .continuous = true});
        poster.endScroll();
        poster.endScroll();
        ASSERT_TRUE(waitUntil([&] { return seen().size() >= 2; }));
        waitUntil([] { return false; }, 100); // room for what should not come
        EXPECT_EQ(seen(),
                  (Series{{scrolls * desktop.dx, scrolls * desktop.dy, false}, {0, 0, true}}));
    }
}

// The installed portal is version 1; a newer one remembers the permission across sessions, if
// each start offers the token the last one gave.
TEST(PortalRestoreTokenTest, start_keepsTheNewestTokenAndOffersItNextTime) {
    SessionBus bus;
    PortalStandIn portal(bus.address(), true);
    ASSERT_TRUE(portal.running()) << bus.error();
    Client client(QString::fromStdString(bus.address()));
    for (const char* token : {"first", "second"}) {
        portal.startResults["restore_token"] = token;
        ASSERT_TRUE(client.starts());
        portal.closeSession();
        ASSERT_TRUE(client.reaches(State::closed));
    }
    EXPECT_EQ(client.defaults.values.at("portal-restore-token"), toBytes(asBytes("second")));
    const auto selects = portal.callsTo("SelectDevices");
    ASSERT_EQ(selects.size(), 2U);
    EXPECT_EQ(selects[0].options.value("persist_mode"), 2U);
    EXPECT_FALSE(selects[0].options.contains("restore_token"));
    EXPECT_EQ(selects[1].options.value("restore_token"), "first");
}

} // namespace
} // namespace tovali::test
