#include <cstdlib>
#include <gio/gio.h>
#include <numeric>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/keychain_by_variant.hpp"
#include "platform/secret_service/secret_service_keychain.hpp"
#include "server/computer_key.hpp"
#include "support/keyring_daemon.hpp"
#include "support/server_rig.hpp"
#include "support/session_bus.hpp"
#include "support/test_watch.hpp"

namespace tovali {
namespace {

using namespace test;

// Between tests the process points at nothing, so that no call can reach the desktop's bus.
constexpr const char* nowhere = "unix:path=/nonexistent/tovali-no-bus";
void useBus(const std::string& address = nowhere) {
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

KeychainQuery query(std::string account, std::string service = "app.tovali.test") {
    return {std::move(service), std::move(account)};
}

class SecretService : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(bus.running()) << bus.error(); }
    void TearDown() override { useBus(); }
    void startKeyring() {
        keyring.emplace(bus);
        ASSERT_TRUE(keyring->running()) << keyring->error();
        useBus(bus.address());
    }

    SessionBus bus;
    std::optional<KeyringDaemon> keyring;
    SecretServiceKeychain keychain;
};

// Without a bus, or a Secret Service on it, the calls say so, and find one that starts later.
TEST_F(SecretService, itemsReadBackKeptApartByServiceAndAccount_unavailableOrLockedSaySo) {
    for (const std::string& where : {std::string(nowhere), bus.address()}) {
        useBus(where);
        EXPECT_EQ(keychain.copyMatching(query("key")).status, KeychainResult::unavailable) << where;
        EXPECT_FALSE(keychain.copyMatching(query("key")).data);
        EXPECT_EQ(keychain.add(query("key"), asBytes("x")), KeychainResult::unavailable) << where;
    }
    ASSERT_NO_FATAL_FAILURE(startKeyring());
    Bytes every(256);
    std::iota(every.begin(), every.end(), 0);
    const std::pair<std::string, Bytes> items[] = {
        {"zero bytes", {0x00, 0x00, 0x01, 0x00, 0xff, 0x00}}, {"every byte", every}, {"empty", {}}};
    for (const auto& [account, data] : items) {
        ASSERT_EQ(keychain.add(query(account), data), KeychainResult::success) << account;
        EXPECT_EQ(keychain.copyMatching(query(account)).data, data) << account;
    }
    for (const auto& absent : {query("every byte", "other service"), query("other account")}) {
        EXPECT_EQ(keychain.copyMatching(absent).status, KeychainResult::itemNotFound);
        EXPECT_FALSE(keychain.copyMatching(absent).data);
    }
    // The variant does not tell items apart.
    auto legacy = query("every byte");
    legacy.variant = KeychainVariant::legacy;
    EXPECT_EQ(keychain.add(legacy, asBytes("other")), KeychainResult::duplicateItem);
    EXPECT_EQ(keychain.copyMatching(legacy).data, every);
    for (const auto& bad : {query("\xff\xfe"), query(std::string("a\0b", 3))}) {
        EXPECT_EQ(keychain.copyMatching(bad).status, KeychainResult::failed);
        EXPECT_EQ(keychain.add(bad, asBytes("x")), KeychainResult::failed);
    }

    ASSERT_EQ(keyring->lockDefaultCollection(), std::nullopt);
    EXPECT_EQ(keychain.copyMatching(query("every byte")).status, KeychainResult::locked);
    EXPECT_FALSE(keychain.copyMatching(query("every byte")).data);
    EXPECT_EQ(keychain.add(query("new"), asBytes("n")), KeychainResult::locked);
}

// Runs what the keyring's signals bring, as the application's loop does, until `done`.
template <typename Done>
bool pumpUntil(Done done) {
    for (int round = 0; round < 400 && !done(); ++round) {
        g_main_context_iteration(nullptr, FALSE);
        g_usleep(5000);
    }
    return done();
}

// Automatic login with "Open at login": the keyring is still locked when Tovali starts. The key
// every paired watch knows is behind that lock, so a new one must not take its place.
TEST_F(SecretService, lockedAtStart_serverWaitsForTheUnlock_thenUsesTheStoredKey) {
    ASSERT_NO_FATAL_FAILURE(startKeyring());
    ServerRig rig;
    KeychainByVariant both(keychain, rig.keychain);
    const crypto::PrivateKey stored = loadOrCreateComputerKey(both, rig.log, computerKeyAccount);
    const crypto::PrivateKey watchKey = crypto::PrivateKey::generate();
    rig.trust(watchKey, "Ada");
    ASSERT_EQ(keyring->lockDefaultCollection(), std::nullopt);

    BluetoothServer::Platform p = rig.platform();
    BluetoothServer server({p.events, p.displays, p.loop, both, p.log, p.defaults, p.accessibility,
                            p.hostName, p.makePeripheralManager});
    rig.peripheral->powerOnAndAdvertise();
    rig.loop.advance(BluetoothServer::lockedKeyRetryInterval * 2);
    EXPECT_TRUE(rig.peripheral->addedServices.empty());
    EXPECT_EQ(server.status().value(), Status::keyringLocked());
    EXPECT_EQ(rig.log.lines,
              std::vector<std::string>{"Orvanel: could not save the pairing key (-25308)"});

    // The keyring's own signal brings the key in; no retry has to wait.
    ASSERT_EQ(keyring->unlockDefaultCollection(), std::nullopt);
    EXPECT_TRUE(pumpUntil([&] { return !rig.peripheral->addedServices.empty(); }));
    rig.peripheral->answerAddService();
    rig.peripheral->answerAdvertising();
    EXPECT_EQ(server.status().value(), Status::waiting());
    TestWatch ada(*rig.peripheral, "Ada", watchKey);
    ASSERT_TRUE(ada.openTrustedSession());
    EXPECT_EQ(ada.computerKey(), stored.publicKey());
}

} // namespace
} // namespace tovali
