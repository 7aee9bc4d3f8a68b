#include <functional>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

using namespace tovali;
using namespace tovali::test;

namespace {

class PairingFlow : public testing::Test {
protected:
    std::optional<Reply> storedReply(const TestWatch& watch) const {
        const Session* session = server.session(watch.central());
        return session ? decodeReply(session->reply) : std::nullopt;
    }
    std::size_t signalsTo(const TestWatch& watch) const {
        return rig.peripheral->notificationsTo(watch.central()).size();
    }

    ServerRig rig;
    BluetoothServer& server = rig.startAdvertising();
};

TEST_F(PairingFlow, answerPairing_whenAllowed_trustsWatchAndBothSidesShareTheKey) {
    TestWatch bystander(*rig.peripheral, "Bystander");
    bystander.sayHello();
    TestWatch watch(*rig.peripheral, "Ada's watch");
    const auto code = watch.startPairing();
    ASSERT_TRUE(code);
    EXPECT_EQ(server.pairingRequest().value(),
              (PairingRequest{watch.central(), "Ada's watch", *code}));

    rig.answerPairing(true);

    ASSERT_EQ(rig.peripheral->notifications.size(), 1u);
    const auto& signal = rig.peripheral->notifications.front();
    EXPECT_EQ(signal.value, Bytes{replyReady});
    EXPECT_EQ(signal.characteristic, gatt::signal);
    EXPECT_EQ(signal.central, watch.central());
    ASSERT_EQ(server.pairedWatches().value().size(), 1u);
    EXPECT_EQ(server.pairedWatches().value()[0].key, toBytes(watch.publicKey()));
    EXPECT_EQ(server.pairedWatches().value()[0].name, "Ada's watch");
    EXPECT_FALSE(server.isPairingTimeoutRunning());
    ASSERT_TRUE(watch.finishSession());
    EXPECT_EQ(server.status().value(), Status::connected("Ada's watch"));

    // Packets tagged with the watch's key only reach the pointer if both sides derived it.
    watch.move(10, 5);
    rig.loop.runFrames(200);
    watch.button(MouseButton::left, ButtonAction::click);
    const auto events = rig.events.mouseEvents();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[events.size() - 2].type, MouseEventType::leftMouseDown);
    EXPECT_EQ(events.back().type, MouseEventType::leftMouseUp);
    EXPECT_NEAR(events.back().location.x, 10.0, 0.01);
    EXPECT_NEAR(events.back().location.y, 5.0, 0.01);
    TestWatch again(*rig.peripheral, "", watch.privateKey());
    EXPECT_TRUE(again.openTrustedSession());
}

TEST_F(PairingFlow, answerPairing_whenRefused_signalsRejectedAndRefusesRepeatedNonce) {
    TestWatch watch(*rig.peripheral, "");
    ASSERT_EQ(watch.helloBytes().size(), 67u);
    ASSERT_TRUE(watch.startPairing());
    EXPECT_EQ(server.status().value(), Status::pairing("Apple Watch"));

    rig.answerPairing(false);

    EXPECT_EQ(signalsTo(watch), 1u);
    EXPECT_TRUE(isReply<RejectedReply>(watch.readReply()));
    EXPECT_TRUE(server.pairedWatches().value().empty());
    EXPECT_EQ(server.status().value(), Status::waiting());
    EXPECT_FALSE(server.isPairingTimeoutRunning());
    EXPECT_FALSE(server.session(watch.central())->computerNonce);

    EXPECT_EQ(rig.peripheral->responseTo(watch.sendNonce()), AttResult::success);
    EXPECT_TRUE(isReply<RejectedReply>(watch.readReply()));
}

TEST_F(PairingFlow, pairingTimeout_after90SecondsOnEitherClock_refuses) {
    const std::vector<std::pair<const char*, std::function<void(ManualMainLoop&, double)>>> clocks{
        {"awake", [](ManualMainLoop& loop, double s) { loop.advance(s); }},
        {"asleep", [](ManualMainLoop& loop, double s) { loop.sleep(s); }},
    };
    for (const auto& [name, pass] : clocks) {
        SCOPED_TRACE(name);
        TestWatch watch(*rig.peripheral);
        ASSERT_TRUE(watch.startPairing());

        pass(rig.loop, 89.9);
        EXPECT_TRUE(server.pairingRequest().value());
        EXPECT_EQ(signalsTo(watch), 0u);

        pass(rig.loop, 0.1);
        EXPECT_FALSE(server.pairingRequest().value());
        EXPECT_EQ(signalsTo(watch), 1u);
        EXPECT_TRUE(isReply<RejectedReply>(watch.readReply()));
        EXPECT_EQ(server.status().value(), Status::waiting());
        rig.peripheral->unsubscribe(watch.central());
        rig.loop.advance(PairingBackoff::firstWait);
    }
}

TEST_F(PairingFlow, answerPairing_beforeTimeout_cancelsItForThisAndLaterPairings) {
    TestWatch watch(*rig.peripheral);
    ASSERT_TRUE(watch.startPairing());
    rig.loop.advance(30);
    rig.answerPairing(false);
    rig.loop.advance(PairingBackoff::firstWait);

    // A fresh pairing must not be ended by the first one's time-out at 90 s.
    ASSERT_TRUE(watch.startPairing());
    rig.loop.advance(80);
    EXPECT_TRUE(server.pairingRequest().value());
    rig.answerPairing(true);
    rig.loop.advance(200);

    EXPECT_EQ(signalsTo(watch), 2u);
    EXPECT_TRUE(watch.finishSession());
    EXPECT_EQ(server.status().value(), Status::connected("Test Watch"));
}

TEST_F(PairingFlow, hello_fromTrustedWatchWithSession_opensNewSessionAndReleasesHeldButtons) {
    TestWatch watch(*rig.peripheral);
    ASSERT_TRUE(watch.startPairing());
    rig.answerPairing(true);
    ASSERT_TRUE(watch.finishSession());
    const SymmetricKey oldKey = *watch.sessionKey();
    const Nonce oldSalt = std::get<SessionOpenReply>(*watch.lastReply).salt;
    watch.button(MouseButton::left, ButtonAction::down);
    ASSERT_EQ(server.session(watch.central())->opener->lastSequence(), 1u);
    ASSERT_FALSE(server.input().held().empty());
    const auto signalsBefore = rig.peripheral->notifications.size();
    const auto latencyBefore = rig.peripheral->latencyRequests.size();

    // The status is refreshed while the hello is handled, so it sees what the watch will be
    // answered after.
    std::optional<Reply> replyAtStatus;
    std::size_t responsesAtStatus = 0;
    const auto recording = server.status().subscribe([&](const Status&) {
        replyAtStatus = storedReply(watch);
        responsesAtStatus = rig.peripheral->responses.size();
    });
    const auto responsesBefore = rig.peripheral->responses.size();
    ASSERT_TRUE(watch.openTrustedSession());

    // The session that pressed the button is gone, so is the press.
    EXPECT_TRUE(server.input().held().empty());
    EXPECT_EQ(rig.events.mouseEvents().back().type, MouseEventType::leftMouseUp);
    EXPECT_TRUE(isReply<SessionOpenReply>(replyAtStatus));
    EXPECT_EQ(responsesAtStatus, responsesBefore);
    EXPECT_NE(std::get<SessionOpenReply>(*watch.lastReply).salt, oldSalt);
    EXPECT_EQ(rig.peripheral->notifications.size(), signalsBefore);
    ASSERT_EQ(rig.peripheral->latencyRequests.size(), latencyBefore + 1);
    EXPECT_EQ(rig.peripheral->latencyRequests.back().central, watch.central());
    EXPECT_EQ(rig.peripheral->latencyRequests.back().latency, ConnectionLatency::low);

    const auto& opener = server.session(watch.central())->opener;
    ASSERT_TRUE(opener);
    EXPECT_EQ(opener->lastSequence(), 0u);
    watch.sendRaw(TestWatch::inputPacket(MoveInput{1, 1}, 2, oldKey));
    EXPECT_EQ(opener->lastSequence(), 0u);
    watch.move(1, 1);
    EXPECT_EQ(opener->lastSequence(), 1u);
}

TEST_F(PairingFlow, hello_whileAnotherPairingWaits_isBusyUntilThatWatchStartsOver) {
    TestWatch first(*rig.peripheral, "First");
    TestWatch second(*rig.peripheral, "Second");
    ASSERT_TRUE(first.startPairing());
    const auto pending = server.pairingRequest().value();

    second.sayHello();
    EXPECT_TRUE(isReply<BusyReply>(second.readReply()));
    second.sendNonce();
    EXPECT_TRUE(isReply<RejectedReply>(second.readReply()));
    EXPECT_EQ(server.pairingRequest().value(), pending);

    std::vector<std::optional<PairingRequest>> published;
    const auto recording = server.pairingRequest().subscribe(
        [&](const auto& request) { published.push_back(request); });
    first.sayHello();

    EXPECT_EQ(published, (std::vector<std::optional<PairingRequest>>{std::nullopt}));
    EXPECT_TRUE(isReply<BusyReply>(first.readReply())) << "the withdrawn request was not approved";
    rig.loop.advance(PairingBackoff::firstWait);
    first.sayHello();
    EXPECT_TRUE(isReply<PairingCommitReply>(first.readReply()));
    EXPECT_EQ(server.status().value(), Status::waiting());
    EXPECT_FALSE(server.isPairingTimeoutRunning());
    second.sendNonce();
    EXPECT_TRUE(isReply<RejectedReply>(second.readReply()));
    rig.loop.advance(100);
    EXPECT_TRUE(rig.peripheral->notifications.empty());
}

TEST_F(PairingFlow, nonce_fromTwoCommittedWatches_firstWinsAndOtherStaysCommitted) {
    TestWatch first(*rig.peripheral, "First");
    TestWatch second(*rig.peripheral, "Second");
    first.sayHello();
    second.sayHello();
    ASSERT_TRUE(isReply<PairingCommitReply>(first.readReply()));
    ASSERT_TRUE(isReply<PairingCommitReply>(second.readReply()));

    first.sendNonce();
    EXPECT_TRUE(isReply<PairingRevealReply>(first.readReply()));
    second.sendNonce();
    EXPECT_TRUE(isReply<RejectedReply>(second.readReply()));
    EXPECT_EQ(server.pairingRequest().value()->id, first.central());

    // Still awaiting its nonce: once the first pairing is over, the same commitment goes on.
    rig.answerPairing(false);
    rig.loop.advance(PairingBackoff::firstWait);
    second.sendNonce();
    EXPECT_TRUE(isReply<PairingRevealReply>(second.readReply()));
    ASSERT_TRUE(second.code());
    EXPECT_EQ(server.pairingRequest().value()->code, *second.code());
}

TEST_F(PairingFlow, answerPairing_withNothingPending_changesNothing) {
    int statusPublications = 0;
    const auto counting = server.status().subscribe([&](const Status&) { ++statusPublications; });
    server.answerPairing(PairingRequest{}, true);
    server.answerPairing(PairingRequest{}, false);
    EXPECT_EQ(statusPublications, 0);
    EXPECT_TRUE(server.pairedWatches().value().empty());
    EXPECT_TRUE(rig.peripheral->notifications.empty());
}

} // namespace
