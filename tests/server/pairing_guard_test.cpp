#include <functional>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

using namespace tovali;
using namespace tovali::test;

namespace {

class PairingGuard : public testing::Test {
protected:
    PairingRequest pending() const { return *server.pairingRequest().value(); }

    ServerRig rig;
    BluetoothServer& server = rig.startAdvertising();
};

// An approval counts for the request shown, once it has been shown for a second; a request
// swapped in under the answer is not approved by it, and arms afresh.
TEST_F(PairingGuard, answerPairing_approvesOnlyTheRequestShownForASecond) {
    struct Case {
        const char* name;
        double after;
        bool swapped;
        bool approves;
    };
    for (const auto& [name, after, swapped, approves] : std::vector<Case>{
             {"within its first second", 0.999, false, false},
             {"after its second", 1.0, false, true},
             {"swapped out under the answer", 5.0, true, false},
         }) {
        SCOPED_TRACE(name);
        TestWatch first(*rig.peripheral);
        std::optional<TestWatch> second;
        ASSERT_TRUE(first.startPairing());
        const PairingRequest shown = pending();
        if (swapped) {
            rig.peripheral->unsubscribe(first.central());
            rig.loop.advance(PairingBackoff::firstWait);
            ASSERT_TRUE(second.emplace(*rig.peripheral).startPairing());
            server.answerPairing(pending(), true);
        }
        rig.loop.advance(after);
        server.answerPairing(shown, true);
        EXPECT_EQ(first.finishSession(), approves);
        if (second) {
            server.answerPairing(pending(), true);
            EXPECT_TRUE(second->finishSession());
        }
        rig.peripheral->unsubscribe(first.central());
        rig.loop.advance(PairingBackoff::longestWait);
    }
}

// A stranger that keeps asking: every way a request ends without approval doubles the wait,
// up to a minute; during the wait its hello and its nonce are answered busy, while a trusted
// watch and a bad key are answered as ever.
TEST_F(PairingGuard, backoff_doublesAfterEachUnapprovedPairingAndResets) {
    TestWatch trusted(*rig.peripheral, "Mine");
    ASSERT_TRUE(trusted.startPairing());
    rig.answerPairing(true);
    TestWatch stranger(*rig.peripheral, "Stranger");
    TestWatch early(*rig.peripheral, "Early");
    // A key that is no point of the curve.
    Bytes badKeyHello{protocolVersion, 0x01, 0x04};
    badKeyHello.resize(2 + 65);
    const std::vector<std::function<void()>> endings{
        [&] { rig.answerPairing(false); },
        [&] { rig.loop.advance(BluetoothServer::pairingTimeoutSeconds); },
        [&] { stranger.sayHello(); },
        [&] { rig.peripheral->unsubscribe(stranger.central()); },
    };
    const std::vector<double> waits{2, 4, 8, 16, 32, 60, 60};
    for (std::size_t i = 0; i < waits.size(); ++i) {
        SCOPED_TRACE(waits[i]);
        early.sayHello();
        ASSERT_TRUE(isReply<PairingCommitReply>(early.readReply()));
        ASSERT_TRUE(stranger.startPairing());
        endings[i % endings.size()]();

        rig.loop.advance(waits[i] - 0.01);
        stranger.sayHello();
        EXPECT_TRUE(isReply<BusyReply>(stranger.readReply()));
        early.sendNonce();
        EXPECT_TRUE(isReply<BusyReply>(early.readReply()));
        early.sendNonce();
        EXPECT_TRUE(isReply<RejectedReply>(early.readReply())) << "no longer ready to pair";
        EXPECT_TRUE(trusted.openTrustedSession());
        rig.peripheral->write(stranger.central(), gatt::request, badKeyHello);
        EXPECT_TRUE(isReply<RejectedReply>(stranger.readReply()));
        EXPECT_TRUE(server.isPairingDelayed());

        rig.loop.advance(0.01);
        EXPECT_FALSE(server.isPairingDelayed());
    }

    // Ten quiet minutes forgive, and so does an approval.
    rig.loop.sleep(PairingBackoff::quietReset);
    ASSERT_TRUE(stranger.startPairing());
    rig.answerPairing(false);
    rig.loop.advance(PairingBackoff::firstWait);
    ASSERT_TRUE(stranger.startPairing());
    rig.answerPairing(true);
    ASSERT_TRUE(early.startPairing());
    rig.answerPairing(false);
    rig.loop.advance(PairingBackoff::firstWait);
    EXPECT_FALSE(server.isPairingDelayed());
}

} // namespace
