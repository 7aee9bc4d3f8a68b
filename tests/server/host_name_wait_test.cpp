#include <gtest/gtest.h>

#include "support/server_rig.hpp"

namespace tovali {
namespace {

using namespace test;

// hostnamed answers after the start, or not at all, and again when the computer is renamed.
class LateHostName : public HostName {
public:
    std::optional<std::string> localizedName() override { return name; }
    bool isKnown() override { return false; }
    Subscription whenChanged(std::function<void()> callback) override {
        changed = std::move(callback);
        return {};
    }
    std::string name = "kernel-name";
    std::function<void()> changed;
};

TEST(HostNameWait, advertising_waitsASecondAtMostForTheName_andFollowsARename) {
    ServerRig rig;
    LateHostName hostName;
    BluetoothServer::Platform p = rig.platform();
    BluetoothServer server({p.events, p.displays, p.loop, p.keychain, p.log, p.defaults,
                            p.accessibility, hostName, p.makePeripheralManager});
    rig.peripheral->setState(PeripheralState::poweredOn);
    rig.peripheral->answerAddService();
    rig.loop.advance(0.99);
    EXPECT_TRUE(rig.peripheral->advertisingRequests.empty());
    rig.loop.advance(0.01);
    hostName.name = "Study Mac";
    hostName.changed();
    hostName.changed();
    std::vector<std::string> names;
    for (const AdvertisementData& data : rig.peripheral->advertisingRequests)
        names.push_back(data.localName);
    EXPECT_EQ(names, (std::vector<std::string>{"kernel-name", "Study Mac"}));
}

} // namespace
} // namespace tovali
