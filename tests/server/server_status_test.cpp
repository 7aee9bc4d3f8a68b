#include <vector>

#include <gtest/gtest.h>

#include "server/bluetooth_server.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

TEST(ServerStatus, statusTextAndColor_eachCase_matchTheMenu) {
    const struct {
        Status status;
        std::string text;
        StatusColor color;
    } cases[] = {
        {Status::starting(), "Starting Bluetooth\u2026", StatusColor::blue},
        {Status::bluetoothOff(),
         "Bluetooth is off. Turn it on in the desktop’s Bluetooth settings.", StatusColor::orange},
        {Status::notAllowed(),
         "Bluetooth access is off for Tovali. Allow it in the system’s D-Bus policy for Bluetooth.",
         StatusColor::orange},
        {Status::unsupported(), "This computer cannot advertise over Bluetooth LE.",
         StatusColor::orange},
        {Status::waiting(), "Ready. Open Tovali on your watch.", StatusColor::blue},
        {Status::failed("Could not advertise: D"), "Could not advertise: D", StatusColor::orange},
        {Status::pairing("Apple Watch"), "Pairing with Apple Watch\u2026", StatusColor::blue},
        {Status::connected("Apple Watch"), "Connected to Apple Watch", StatusColor::green},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusText(c.status), c.text);
        EXPECT_EQ(statusColor(c.status), c.color) << c.text;
    }
}

TEST(ServerStatus, refreshStatus_radioNotOn_showsRadioStateOverErrorAndSessions) {
    const struct {
        int state;
        Status expected;
    } cases[] = {
        {0, Status::starting()},   {1, Status::starting()},     {2, Status::unsupported()},
        {3, Status::notAllowed()}, {4, Status::bluetoothOff()}, {6, Status::starting()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        ServerRig rig;
        const auto key = crypto::PrivateKey::generate();
        rig.trust(key, "Ada's watch");
        auto& server = rig.start();
        rig.peripheral->setState(PeripheralState::poweredOn);
        rig.peripheral->answerAddService();
        rig.peripheral->answerAdvertising("busy");
        rig.peripheral->setState(static_cast<PeripheralState>(c.state));

        // The trusted hello refreshes the status with an established session in the table.
        TestWatch watch(*rig.peripheral, "Ada's watch", key);
        ASSERT_TRUE(watch.openTrustedSession());
        ASSERT_TRUE(server.serviceError());
        EXPECT_EQ(server.status().value(), c.expected);
    }
}

TEST(ServerStatus, refreshStatus_poweredOn_pairingBeatsConnectedBeatsFailedBeatsWaiting) {
    ServerRig rig;
    const auto adaKey = crypto::PrivateKey::generate();
    rig.trust(adaKey, "Ada");
    auto& server = rig.start();
    rig.peripheral->setState(PeripheralState::poweredOn);
    rig.peripheral->answerAddService();
    EXPECT_EQ(server.status().value(), Status::starting()) << "on, not yet advertising";
    rig.peripheral->answerAdvertising("busy");
    const Status failed = Status::failed("Could not advertise: busy");
    EXPECT_EQ(server.status().value(), failed);

    TestWatch ada(*rig.peripheral, "Ada", adaKey);
    ASSERT_TRUE(ada.openTrustedSession());
    EXPECT_EQ(server.status().value(), Status::connected("Ada"));

    TestWatch bob(*rig.peripheral, "Bob");
    ASSERT_TRUE(bob.startPairing());
    EXPECT_EQ(server.status().value(), Status::pairing("Bob"));

    rig.answerPairing(false);
    EXPECT_EQ(server.status().value(), Status::connected("Ada")) << "Bob has no opener";

    rig.peripheral->unsubscribe(ada.central());
    EXPECT_EQ(server.status().value(), failed) << "the error was kept under the session";

    rig.peripheral->setState(PeripheralState::poweredOn);
    rig.peripheral->answerAdvertising();
    EXPECT_EQ(server.status().value(), Status::waiting());
    EXPECT_EQ(server.sessionCount(), 1u);
}

TEST(ServerAccessibility, poll_everyTwoSeconds_publishesOnlyRealChanges) {
    ServerRig rig;
    rig.accessibility.trusted = false;
    auto& server = rig.start();
    std::vector<bool> heard;
    const auto subscription =
        server.accessibilityAllowed().subscribe([&](bool allowed) { heard.push_back(allowed); });
    const int checksAtCreation = rig.accessibility.checks;

    rig.loop.advance(1.5);
    EXPECT_EQ(rig.accessibility.checks, checksAtCreation) << "first poll comes at 2 s";
    rig.loop.advance(0.5);
    EXPECT_EQ(rig.accessibility.checks, checksAtCreation + 1);
    EXPECT_TRUE(heard.empty());

    rig.loop.advance(0.5);
    rig.accessibility.trusted = true;
    rig.loop.advance(2.0);
    EXPECT_TRUE(server.accessibilityAllowed().value());
    rig.loop.advance(4.0);
    EXPECT_EQ(heard, std::vector<bool>{true});
}

} // namespace
