// The portal route against the real xdg-desktop-portal, whose backend is a stand-in: the
// frontend refuses calls of the wrong D-Bus types, so a call the backend sees had the right ones.
#include <QDBusConnection>
#include <cstring>
#include <memory>

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

// The application's side: the route on a connection of its own, on a 1920 × 1080 display.
struct Client {
    QString name;
    EventRecorder screen;
    MemoryDefaults defaults;
    CapturedLog log;
    PortalAdapters route;

    explicit Client(const QString& address) {
        static int clients = 0;
        name = QStringLiteral("tovali-portal-client-%1").arg(++clients);
        route = makePortalAdapters(QDBusConnection::connectToBus(address, name), screen, defaults,
                                   log, 0.5, "GNOME");
    }
    ~Client() {
        quit();
        QDBusConnection::disconnectFromBus(name);
    }
    void quit() { route = {}; }
    bool reaches(State state) {
        return waitUntil([&] { return route.session->state() == state; });
    }
    void post(MouseEventType type, Point at) {
        route.events->postMouseEvent({.type = type, .location = at});
    }
};

std::vector<std::pair<int, unsigned>> buttons(const PortalStandIn& portal) {
    std::vector<std::pair<int, unsigned>> seen;
    for (const auto& call : portal.callsTo("NotifyPointerButton"))
        seen.emplace_back(call.arguments.at(2).toInt(), call.arguments.at(3).toUInt());
    return seen;
}

class PortalAdaptersTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(world.error(), ""); }
    PortalWorld world;
    PortalStandIn& backend = world.backend();
};

TEST_F(PortalAdaptersTest, session_startsOnce_postsBalancedButtons_andReleasesThemOnQuit) {
    Client client(world.address());
    EXPECT_FALSE(client.route.accessibility->isProcessTrusted());
    client.route.accessibility->promptForPermission();
    client.route.accessibility->promptForPermission();
    ASSERT_TRUE(client.reaches(State::started)) << client.log.lines.back();
    EXPECT_TRUE(client.route.accessibility->isProcessTrusted());
    EXPECT_EQ(backend.callCount("CreateSession"), 1U);
    EXPECT_EQ(backend.callsTo("SelectDevices").at(0).options().value("types"), 2U);

    // From the estimate, in the middle of the display.
    client.post(MouseEventType::mouseMoved, {970.5, 535});
    client.post(MouseEventType::leftMouseDown, {970.5, 535});
    client.post(MouseEventType::leftMouseDown, {970.5, 535});
    client.post(MouseEventType::rightMouseDown, {970.5, 535});
    client.post(MouseEventType::leftMouseUp, {970.5, 535});
    client.post(MouseEventType::leftMouseUp, {970.5, 535});
    client.quit();

    ASSERT_TRUE(waitUntil([&] { return backend.callCount("Close") == 1; }));
    const auto moves = backend.callsTo("NotifyPointerMotion");
    ASSERT_EQ(moves.size(), 1U);
    EXPECT_EQ(moves[0].arguments.at(2).toDouble(), 10.5);
    EXPECT_EQ(moves[0].arguments.at(3).toDouble(), -5.0);
    EXPECT_EQ(buttons(backend), (std::vector<std::pair<int, unsigned>>{
                                    {0x110, 1}, {0x111, 1}, {0x110, 0}, {0x111, 0}}))
        << "no second press, no stray release, and the right button let go at quit";
}

TEST_F(PortalAdaptersTest, scroll_followsTheDesktopsSignAndScale_andFinishesAtRest) {
    Client client(world.address());
    client.route.accessibility->promptForPermission();
    ASSERT_TRUE(client.reaches(State::started));
    struct Case {
        const char* desktop;
        double dx;
        double dy;
    };
    // 48 pixels up and 24 to the right.
    const Case cases[] = {
        {"GNOME", 5, -10}, {"ubuntu:GNOME", 5, -10}, {"KDE", 7.5, 15}, {"sway", 5, -10}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.desktop);
        PortalEventPoster poster(*client.route.session, client.screen, 0.5,
                                 scrollStyleFor(c.desktop));
        const std::size_t before = backend.callsTo("NotifyPointerAxis").size();
        poster.postScrollEvent({.vertical = 48, .horizontal = -24, .continuous = true});
        poster.endScroll();
        poster.endScroll();
        ASSERT_TRUE(
            waitUntil([&] { return backend.callsTo("NotifyPointerAxis").size() >= before + 2; }));
        const auto axis = backend.callsTo("NotifyPointerAxis");
        ASSERT_EQ(axis.size(), before + 2) << "one finish per series";
        EXPECT_EQ(axis[before].arguments.at(2).toDouble(), c.dx);
        EXPECT_EQ(axis[before].arguments.at(3).toDouble(), c.dy);
        EXPECT_FALSE(axis[before].options().value("finish").toBool());
        EXPECT_TRUE(axis[before + 1].options().value("finish").toBool());
    }
}

TEST_F(PortalAdaptersTest, permission_isMissingAfterACancelOrAClose_andAskingAgainStartsAnew) {
    Client client(world.address());
    backend.startCode = 1;
    client.route.accessibility->promptForPermission();
    ASSERT_TRUE(client.reaches(State::refused));
    client.post(MouseEventType::leftMouseDown, {1, 1});

    backend.startCode = 0;
    client.route.accessibility->promptForPermission();
    ASSERT_TRUE(client.reaches(State::started));
    client.post(MouseEventType::leftMouseDown, {1, 1});
    ASSERT_TRUE(waitUntil([&] { return backend.callCount("NotifyPointerButton") == 1; }));
    backend.closeSession();
    ASSERT_TRUE(client.reaches(State::closed));
    EXPECT_FALSE(client.route.accessibility->isProcessTrusted());

    client.route.accessibility->promptForPermission();
    ASSERT_TRUE(client.reaches(State::started));
    client.post(MouseEventType::leftMouseUp, {1, 1});
    EXPECT_EQ(backend.callCount("CreateSession"), 3U);

    // A portal that goes away takes the permission with it, and brings it back on its return.
    world.stopFrontend();
    ASSERT_TRUE(client.reaches(State::gone));
    ASSERT_TRUE(world.startFrontend()) << world.error();
    ASSERT_TRUE(client.reaches(State::started));
    const std::size_t closes = backend.callCount("Close");
    client.quit();
    ASSERT_TRUE(waitUntil([&] { return backend.callCount("Close") > closes; }));
    EXPECT_EQ(buttons(backend), (std::vector<std::pair<int, unsigned>>{{0x110, 1}}))
        << "the press went with its session, its release with none";
}

// The installed portal is version 1; a newer one remembers the permission across sessions.
TEST(PortalRestoreTokenTest, start_keepsTheNewestTokenAndOffersItNextTime) {
    for (const unsigned version : {1U, 2U}) {
        SCOPED_TRACE(version);
        SessionBus bus;
        ASSERT_TRUE(bus.running()) << bus.error();
        PortalStandIn portal(bus.address(), PortalStandIn::Role::frontend, version);
        ASSERT_TRUE(portal.running());
        Client client(QString::fromStdString(bus.address()));
        for (const char* token : {"first", "second"}) {
            portal.startResults["restore_token"] = token;
            client.route.accessibility->promptForPermission();
            ASSERT_TRUE(client.reaches(State::started));
            EXPECT_EQ(client.defaults.values.at("portal-restore-token"),
                      Bytes(token, token + std::strlen(token)));
            portal.closeSession();
            ASSERT_TRUE(client.reaches(State::closed));
        }
        const auto selects = portal.callsTo("SelectDevices");
        ASSERT_EQ(selects.size(), 2U);
        const QVariantMap first = selects[0].options();
        const QVariantMap second = selects[1].options();
        EXPECT_EQ(first.value("persist_mode"), version >= 2 ? QVariant::fromValue(2U) : QVariant());
        EXPECT_FALSE(first.contains("restore_token"));
        EXPECT_EQ(second.value("restore_token"), version >= 2 ? QVariant("first") : QVariant());
    }
}

} // namespace
} // namespace tovali::test
