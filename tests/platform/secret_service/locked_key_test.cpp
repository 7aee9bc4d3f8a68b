#include <cstdlib>
#include <gio/gio.h>

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

// Runs what the keyring's signals bring, as the application's loop does, until `done`.
template <typename Done>
bool pumpUntil(Done done) {
    for (int round = 0; round < 400 && !done(); ++round)
        g_main_context_iteration(nullptr, FALSE), g_usleep(5000);
    return done();
}

// Automatic login with "Open at login": the keyring is still locked when Tovali starts. The key
// every paired watch knows is behind that lock, so a new one must not take its place.
TEST(LockedKeyring, serverWaitsForTheUnlock_thenUsesTheStoredKey) {
    SessionBus bus;
    KeyringDaemon keyring(bus);
    ASSERT_TRUE(keyring.running()) << keyring.error();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    ServerRig rig;
    SecretServiceKeychain secretService;
    KeychainByVariant keychain(secretService, rig.keychain);
    const crypto::PrivateKey stored =
        loadOrCreateComputerKey(keychain, rig.log, computerKeyAccount);
    const crypto::PrivateKey watchKey = crypto::PrivateKey::generate();
    rig.trust(watchKey, "Ada");
    ASSERT_EQ(keyring.lockDefaultCollection(), std::nullopt);

    BluetoothServer::Platform platform = rig.platform();
    BluetoothServer server({platform.events, platform.displays, platform.loop, keychain,
                            platform.log, platform.defaults, platform.accessibility,
                            platform.hostName, platform.makePeripheralManager});
    rig.peripheral->powerOnAndAdvertise();
    rig.loop.advance(BluetoothServer::lockedKeyRetryInterval * 2);
    EXPECT_TRUE(rig.peripheral->addedServices.empty());
    EXPECT_EQ(server.status().value(), Status::keyringLocked());
    EXPECT_EQ(rig.log.lines,
              std::vector<std::string>{"Orvanel: could not save the pairing key (-25308)"});

    // The keyring's own signal brings the key in; no retry has to wait.
    ASSERT_EQ(keyring.unlockDefaultCollection(), std::nullopt);
    EXPECT_TRUE(pumpUntil([&] { return !rig.peripheral->addedServices.empty(); }));
    rig.peripheral->answerAddService();
    rig.peripheral->answerAdvertising();
    EXPECT_EQ(server.status().value(), Status::waiting());
    TestWatch ada(*rig.peripheral, "Ada", watchKey);
    ASSERT_TRUE(ada.openTrustedSession());
    EXPECT_EQ(ada.computerKey(), stored.publicKey());
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tovali-no-bus", 1);
}

} // namespace
} // namespace tovali
