// What the server waits for before it advertises: the computer's name and an unlocked key.
#include <gtest/gtest.h>

#include "server/computer_key.hpp"
#include "support/server_rig.hpp"

namespace tovali {
namespace {

using namespace test;

// hostnamed answers a moment after start, and again when the computer is renamed.
class LateHostName : public HostName {
public:
    std::optional<std::string> localizedName() override { return name; }
    bool isKnown() override { return known; }
    Subscription whenChanged(std::function<void()> callback) override {
        changed = std::move(callback);
        return Subscription([this] { changed = {}; });
    }
    void answer(std::string newName) {
        name = std::move(newName);
        known = true;
        if (changed) {
            changed();
        }
    }

    std::optional<std::string> name = "kernel-name";
    bool known = false;
    std::function<void()> changed;
};

std::vector<std::string> advertisedNames(const MemoryPeripheral& peripheral) {
    std::vector<std::string> names;
    for (const AdvertisementData& data : peripheral.advertisingRequests) {
        names.push_back(data.localName);
    }
    return names;
}

TEST(ServerWaits, advertising_waitsUpToASecondForTheName_andFollowsARename) {
    const struct {
        const char* name;
        double answerAfter; // none within the wait when above it
        std::string first;
    } cases[] = {
        {"answered", 0.4, "Study Mac"},
        {"never answered", 2.0, "kernel-name"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerRig rig;
        LateHostName hostName;
        BluetoothServer::Platform p = rig.platform();
        BluetoothServer server({p.events, p.displays, p.loop, p.keychain, p.log, p.defaults,
                                p.accessibility, hostName, p.makePeripheralManager});
        rig.peripheral->setState(PeripheralState::poweredOn);
        rig.peripheral->answerAddService();
        EXPECT_TRUE(rig.peripheral->advertisingRequests.empty());
        rig.loop.advance(std::min(c.answerAfter, BluetoothServer::hostNameWaitSeconds));
        if (c.answerAfter < BluetoothServer::hostNameWaitSeconds) {
            hostName.answer("Study Mac");
        }
        EXPECT_EQ(advertisedNames(*rig.peripheral), std::vector<std::string>{c.first});
        rig.peripheral->answerAdvertising();
        EXPECT_EQ(server.status().value(), Status::waiting());

        hostName.answer("Renamed Mac");
        hostName.answer("Renamed Mac");
        EXPECT_EQ(advertisedNames(*rig.peripheral),
                  (std::vector<std::string>{c.first, "Renamed Mac"}));
    }
}

// Without the keyring's signals the retry every 10 s still finds the key once unlocked.
TEST(ServerWaits, lockedKey_isAskedForEveryTenSeconds_andNeverReplaced) {
    ServerRig rig;
    const crypto::PrivateKey stored = crypto::PrivateKey::generate();
    rig.keychain.putItem(KeychainVariant::dataProtection, computerKeyService, computerKeyAccount,
                         toBytes(stored.raw()));
    rig.keychain.scriptRead(KeychainVariant::dataProtection,
                            {KeychainResult::locked, KeychainResult::locked});
    BluetoothServer& server = rig.start();
    rig.peripheral->setState(PeripheralState::poweredOn);
    rig.loop.advance(BluetoothServer::lockedKeyRetryInterval + 9.9);
    EXPECT_TRUE(rig.peripheral->addedServices.empty());
    EXPECT_EQ(server.status().value(), Status::keyringLocked());
    EXPECT_EQ(statusText(server.status().value()),
              "Your keyring is locked. Unlock it so that your watches can connect.");

    rig.loop.advance(0.1);
    EXPECT_EQ(rig.peripheral->addedServices.size(), 1u);
    EXPECT_EQ(rig.log.lines.size(), 1u);
    EXPECT_EQ(rig.keychain.onChange, nullptr) << "no longer following the keyring";
    for (const auto& call : rig.keychain.calls) {
        EXPECT_EQ(call.kind, ScriptedKeychain::Call::Kind::copyMatching);
    }
}

} // namespace
} // namespace tovali
