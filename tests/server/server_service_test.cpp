#include <algorithm>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

Uuid uuid(std::string_view text) {
    return Uuid::parse(text).value();
}

const Uuid serviceUuid = uuid("DD68EE22-80DE-405E-9088-15E661CF85ED");

TEST(ServerService, poweredOn_addsOneServiceOnceAndAdvertisesOnlyAfterTheAddition) {
    ServerRig rig;
    auto& server = rig.start();
    rig.peripheral->setState(PeripheralState::poweredOn);

    const ServiceDefinition expected{serviceUuid,
                                     true,
                                     {
                                         {uuid("DD68EE23-80DE-405E-9088-15E661CF85ED"), 0x08, 0x02},
                                         {uuid("DD68EE24-80DE-405E-9088-15E661CF85ED"), 0x02, 0x01},
                                         {uuid("DD68EE25-80DE-405E-9088-15E661CF85ED"), 0x10, 0x01},
                                         {uuid("DD68EE26-80DE-405E-9088-15E661CF85ED"), 0x04, 0x02},
                                     }};
    EXPECT_EQ(rig.peripheral->addedServices, std::vector<ServiceDefinition>{expected});
    EXPECT_TRUE(rig.peripheral->advertisingRequests.empty());
    EXPECT_EQ(server.status().value(), Status::starting());

    rig.peripheral->answerAddService();
    EXPECT_EQ(rig.peripheral->advertisingRequests,
              (std::vector<AdvertisementData>{{{serviceUuid}, "Study Mac"}}));
    EXPECT_EQ(server.status().value(), Status::starting());
    rig.peripheral->answerAdvertising();
    EXPECT_EQ(server.status().value(), Status::waiting());

    rig.peripheral->setState(PeripheralState::poweredOn);
    EXPECT_EQ(rig.peripheral->addedServices.size(), 1u);
    EXPECT_EQ(rig.peripheral->advertisingRequests.size(), 1u) << "already advertising";
}

TEST(ServerService, advertise_localName_comesFromHostNameOrAFixedFallback) {
    const struct {
        std::optional<std::string> host;
        std::string advertised;
    } cases[] = {{"Ada's MacBook", "Ada's MacBook"}, {std::nullopt, "Computer"}, {"", ""}};
    for (const auto& c : cases) {
        ServerRig rig;
        rig.hostName.name = c.host;
        rig.startAdvertising();
        ASSERT_EQ(rig.peripheral->advertisingRequests.size(), 1u);
        EXPECT_EQ(rig.peripheral->advertisingRequests[0].localName, c.advertised);
    }
}

TEST(ServerService, failures_showTheirTextUntilALaterPowerOnSucceeds) {
    ServerRig rig;
    auto& server = rig.start();
    rig.peripheral->setState(PeripheralState::poweredOn);
    rig.peripheral->answerAddService("D");
    EXPECT_EQ(server.status().value(), Status::failed("Could not start Bluetooth: D"));
    EXPECT_FALSE(server.characteristics());
    EXPECT_TRUE(rig.peripheral->advertisingRequests.empty());

    rig.peripheral->setState(PeripheralState::poweredOn);
    EXPECT_EQ(rig.peripheral->addedServices.size(), 2u) << "a failed service is built anew";
    rig.peripheral->answerAddService();
    rig.peripheral->answerAdvertising("E");
    EXPECT_EQ(server.status().value(), Status::failed("Could not advertise: E"));

    rig.peripheral->setState(PeripheralState::poweredOn);
    rig.peripheral->answerAdvertising();
    EXPECT_EQ(rig.peripheral->addedServices.size(), 2u);
    EXPECT_FALSE(server.serviceError());
    EXPECT_EQ(server.status().value(), Status::waiting());
}

TEST(ServerService, radioLeavesPoweredOn_endsSessionsPairingAndHeldButtons) {
    const struct {
        PeripheralState state;
        Status expected;
    } cases[] = {
        {PeripheralState::poweredOff, Status::bluetoothOff()},
        {PeripheralState::unknown, Status::starting()},
        {PeripheralState::resetting, Status::starting()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        ServerRig rig;
        const auto adaKey = crypto::PrivateKey::generate();
        rig.trust(adaKey, "Ada");
        auto& server = rig.startAdvertising();
        TestWatch ada(*rig.peripheral, "Ada", adaKey);
        ASSERT_TRUE(ada.openTrustedSession());
        ada.button(MouseButton::left, ButtonAction::down);
        TestWatch bob(*rig.peripheral, "Bob");
        ASSERT_TRUE(bob.startPairing());
        const auto notificationsBefore = rig.peripheral->notifications.size();

        rig.peripheral->setState(c.state);
        EXPECT_EQ(server.sessionCount(), 0u);
        EXPECT_FALSE(server.pairingRequest().value());
        EXPECT_FALSE(server.isPairingTimeoutRunning());
        const auto events = rig.events.mouseEvents();
        EXPECT_EQ(std::ranges::count(events, MouseEventType::leftMouseUp, &MouseEvent::type), 1);
        EXPECT_EQ(server.status().value(), c.expected);

        // A stale time-out would refuse the next pairing 90 s after the first one.
        rig.loop.advance(60);
        rig.peripheral->setState(PeripheralState::poweredOn);
        EXPECT_EQ(server.status().value(), Status::starting()) << "on again, not advertising yet";
        rig.peripheral->powerOnAndAdvertise();
        TestWatch cleo(*rig.peripheral, "Cleo");
        ASSERT_TRUE(cleo.startPairing());
        rig.loop.advance(40);
        EXPECT_EQ(server.status().value(), Status::pairing("Cleo"));
        EXPECT_EQ(rig.peripheral->notifications.size(), notificationsBefore);
    }
}

} // namespace
