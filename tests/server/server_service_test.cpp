#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/computer_key.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

using namespace tovali;
using namespace tovali::test;

namespace {

// A failed addition builds the service anew; an error shows until advertising succeeds.
TEST(ServerService, poweredOn_addsTheServiceThenAdvertisesItUntilBothSucceed) {
    ServerRig rig;
    auto& server = rig.start();
    rig.peripheral->setState(PeripheralState::poweredOn);
    ASSERT_EQ(rig.peripheral->addedServices.size(), 1u);
    const ServiceDefinition added = rig.peripheral->addedServices[0];
    std::vector<std::string> shape{added.uuid.toString() + (added.primary ? " primary" : "")};
    for (const CharacteristicDefinition& c : added.characteristics)
        shape.push_back(c.uuid.toString() + " properties " + std::to_string(c.properties) +
                        " permissions " + std::to_string(c.permissions));
    EXPECT_EQ(shape, (std::vector<std::string>{
                         "DD68EE22-80DE-405E-9088-15E661CF85ED primary",
                         "DD68EE23-80DE-405E-9088-15E661CF85ED properties 8 permissions 2",
                         "DD68EE24-80DE-405E-9088-15E661CF85ED properties 2 permissions 1",
                         "DD68EE25-80DE-405E-9088-15E661CF85ED properties 16 permissions 1",
                         "DD68EE26-80DE-405E-9088-15E661CF85ED properties 4 permissions 2",
                     }));
    rig.peripheral->answerAddService("D");
    EXPECT_EQ(server.status().value(), Status::failed("Could not start Bluetooth: D"));
    EXPECT_FALSE(server.characteristics());
    rig.peripheral->setState(PeripheralState::poweredOn);
    EXPECT_EQ(rig.peripheral->addedServices.size(), 2u);
    EXPECT_TRUE(rig.peripheral->advertisingRequests.empty()) << "only after the addition";
    rig.peripheral->answerAddService();
    EXPECT_EQ(rig.peripheral->advertisingRequests,
              (std::vector<AdvertisementData>{{{added.uuid}, "Study Mac"}}));
    rig.peripheral->answerAdvertising("E");
    EXPECT_EQ(server.status().value(), Status::failed("Could not advertise: E"));
    rig.peripheral->setState(PeripheralState::poweredOn);
    rig.peripheral->answerAdvertising();
    EXPECT_EQ(server.status().value(), Status::waiting());
    rig.peripheral->setState(PeripheralState::poweredOn);
    EXPECT_EQ(rig.peripheral->addedServices.size(), 2u);
    EXPECT_EQ(rig.peripheral->advertisingRequests.size(), 2u) << "already advertising";
}

// A key behind a locked keyring is not replaced: the service waits until the keyring says it
// changed, or the next retry finds it open.
TEST(ServerService, lockedKeyring_holdsTheServiceBackUntilTheKeyCanBeRead) {
    for (const bool told : {true, false}) {
        SCOPED_TRACE(told);
        ServerRig rig;
        rig.keychain
            .scripted[{ScriptedKeychain::Kind::copyMatching, KeychainVariant::dataProtection}] = {
            KeychainResult::locked, KeychainResult::locked};
        auto& server = rig.start();
        rig.peripheral->setState(PeripheralState::poweredOn);
        rig.loop.advance(BluetoothServer::lockedKeyRetryInterval);
        EXPECT_EQ(server.status().value(), Status::keyringLocked());
        EXPECT_TRUE(rig.peripheral->addedServices.empty());
        if (told)
            rig.keychain.changed();
        else
            rig.loop.advance(BluetoothServer::lockedKeyRetryInterval);
        ASSERT_EQ(rig.peripheral->addedServices.size(), 1u);
        rig.peripheral->answerAddService();
        rig.peripheral->answerAdvertising();
        EXPECT_EQ(server.status().value(), Status::waiting());
    }
}

// Until the system names the computer, advertising waits a second at most; a rename follows.
TEST(ServerService, advertisedName_isTheComputersOrAFallbackAndFollowsARename) {
    const struct {
        std::optional<std::string> name;
        bool known;
        std::string first;
    } cases[] = {
        {std::nullopt, true, "Computer"},
        {"kernel-name", false, "kernel-name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ServerRig rig;
        rig.hostName.name = c.name;
        rig.hostName.known = c.known;
        rig.start();
        rig.peripheral->setState(PeripheralState::poweredOn);
        rig.peripheral->answerAddService();
        rig.loop.advance(0.99);
        EXPECT_EQ(rig.peripheral->advertisingRequests.empty(), !c.known);
        rig.loop.advance(0.01);
        rig.hostName.name = "Study Mac";
        rig.hostName.changed();
        rig.hostName.changed();
        std::vector<std::string> names;
        for (const AdvertisementData& data : rig.peripheral->advertisingRequests)
            names.push_back(data.localName);
        EXPECT_EQ(names, (std::vector<std::string>{c.first, "Study Mac"}));
    }
}

// The key lives in the first store that takes it, read back at each launch and never replaced;
// a failed save logs one line with the status earlier versions logged, and ends there.
TEST(ComputerKey, launches_keepOneKeyInTheFirstStoreThatTakesIt) {
    constexpr auto preferred = KeychainVariant::dataProtection;
    constexpr auto legacy = KeychainVariant::legacy;
    using Kind = ScriptedKeychain::Kind;
    ScriptedKeychain keychain;
    CapturedLog log;
    const auto load = [&] { return loadOrCreateComputerKey(keychain, log, computerKeyAccount); };
    // The only item stored: a duplicate answer must not fall back to the other store.
    const auto onlyItem = [&](KeychainVariant variant, const Bytes& bytes) {
        return keychain.items ==
               decltype(keychain.items){{{variant, "Orvanel", "mac-p256"}, bytes}};
    };
    const crypto::PrivateKey first = load();
    EXPECT_TRUE(onlyItem(preferred, toBytes(first.raw())));
    EXPECT_EQ(load().publicKey(), first.publicKey());
    for (const Bytes& bad : {Bytes(31, 7), Bytes(32, 0)}) {
        keychain.putItem(preferred, computerKeyService, computerKeyAccount, bad);
        EXPECT_NE(load().publicKey(), load().publicKey()) << "no key, a new one each launch";
        EXPECT_TRUE(onlyItem(preferred, bad));
    }
    keychain.items.clear();
    keychain.scripted[{Kind::copyMatching, preferred}] = {KeychainResult::unavailable};
    keychain.scripted[{Kind::add, preferred}] = {KeychainResult::unavailable};
    const crypto::PrivateKey second = load();
    EXPECT_TRUE(onlyItem(legacy, toBytes(second.raw())));
    EXPECT_EQ(load().publicKey(), second.publicKey());
    EXPECT_TRUE(log.lines.empty());

    keychain.items.clear();
    keychain.scripted[{Kind::add, preferred}] = {
        KeychainResult::failed, KeychainResult::unavailable, KeychainResult::unavailable};
    keychain.scripted[{Kind::add, legacy}] = {KeychainResult::locked, KeychainResult::unavailable};
    for (int launch = 0; launch < 3; ++launch)
        load();
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "Orvanel: could not save the pairing key (-26276)",
                             "Orvanel: could not save the pairing key (-25308)",
                         }));
}

} // namespace
