#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

using namespace tovali;
using namespace tovali::test;

namespace {

Bytes click(std::uint32_t sequence, const SymmetricKey& key) {
    return TestWatch::inputPacket(ButtonInput{MouseButton::left, ButtonAction::click}, sequence,
                                  key);
}

/// A server that trusts Ada's key from launch, and Ada's watch connected.
class Server : public testing::Test {
protected:
    BluetoothServer& start() {
        rig.trust(key, "Ada");
        return rig.startAdvertising();
    }
    const Session* session(const TestWatch& watch) const { return server.session(watch.central()); }

    ServerRig rig;
    crypto::PrivateKey key = crypto::PrivateKey::generate();
    BluetoothServer& server = start();
    TestWatch ada{*rig.peripheral, "Ada", key};
};

// Tagged input reaches the pointer only when both sides derived the same key. The trusted watch's
// next hello opens a fresh session in its acknowledgement and ends the old one with its press.
TEST_F(Server, approved_sharesTheKeyAndTrustsTheWatchFromThenOn) {
    TestWatch watch(*rig.peripheral, "Ada's watch");
    const PairingRequest request{watch.central(), "Ada's watch", watch.startPairing().value()};
    EXPECT_EQ(server.pairingRequest().value(), request);
    server.answerPairing(request, true);
    EXPECT_TRUE(server.pairingRequest().value()) << "approved within its first second";
    rig.answerPairing(true);

    ASSERT_EQ(rig.peripheral->notifications.size(), 1u);
    EXPECT_EQ(rig.peripheral->notifications[0].central, watch.central());
    EXPECT_EQ(server.pairedWatches().value().back().key, toBytes(watch.publicKey()));
    ASSERT_TRUE(watch.finishSession());
    watch.move(10, 5);
    rig.loop.runFrames(200);
    EXPECT_NEAR(rig.events.pointer->x, 10.0, 0.01);
    EXPECT_NEAR(rig.events.pointer->y, 5.0, 0.01);
    watch.button(MouseButton::left, ButtonAction::down);

    const SymmetricKey oldKey = *watch.sessionKey();
    ASSERT_TRUE(watch.openTrustedSession());
    EXPECT_EQ(rig.events.mouseEvents().back().type, MouseEventType::leftMouseUp);
    EXPECT_EQ(rig.peripheral->notifications.size(), 1u);
    EXPECT_EQ(rig.peripheral->latencyRequests.at(1).second, watch.central());
    const auto& opener = server.session(watch.central())->opener;
    rig.peripheral->write(watch.central(), gatt::input, click(2, oldKey));
    EXPECT_EQ(opener->lastSequence(), 0u) << "a packet under the old key";
    watch.move(1, 1);
    EXPECT_EQ(opener->lastSequence(), 1u);
}

// Every way a pairing ends without approval doubles the wait before the next, up to a minute:
// meanwhile a stranger's hello and nonce are answered busy, a trusted watch as ever. Ten quiet
// minutes forgive, and so does an approval.
TEST_F(Server, unapproved_endsTheRequestAndDoublesTheWaitBeforeTheNext) {
    TestWatch stranger(*rig.peripheral, "Stranger");
    TestWatch early(*rig.peripheral, "Early");
    const std::vector<std::pair<bool, std::function<void()>>> endings{
        {true, [&] { rig.answerPairing(false); }},
        {true, [&] { rig.loop.advance(BluetoothServer::pairingTimeoutSeconds); }},
        {true, [&] { rig.loop.sleep(BluetoothServer::pairingTimeoutSeconds); }},
        {false, [&] { stranger.sayHello(); }},
        {false, [&] { rig.peripheral->unsubscribe(stranger.central()); }},
    };
    const std::vector<double> waits{2, 4, 8, 16, 32, 60, 60};
    for (std::size_t i = 0; i < waits.size(); ++i) {
        SCOPED_TRACE(waits[i]);
        const std::size_t signals = rig.peripheral->notifications.size();
        early.sayHello();
        ASSERT_TRUE(isReply<PairingCommitReply>(early.readReply()));
        ASSERT_TRUE(stranger.startPairing());
        const auto& [refused, end] = endings[i % endings.size()];
        end();
        EXPECT_FALSE(server.pairingRequest().value());
        EXPECT_EQ(isReply<RejectedReply>(stranger.readReply()), refused);

        rig.loop.advance(waits[i] - 0.01);
        stranger.sayHello();
        EXPECT_TRUE(isReply<BusyReply>(stranger.readReply()));
        early.sendNonce();
        EXPECT_TRUE(isReply<BusyReply>(early.readReply()));
        EXPECT_TRUE(ada.openTrustedSession());
        EXPECT_EQ(rig.peripheral->notifications.size(), signals + refused) << "only refusals";
        rig.loop.advance(0.01);
        EXPECT_FALSE(server.isPairingDelayed());
    }
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

// A bad request is answered; where the central has a session it finds a refusal to read, and
// nothing else changes: no status, no signal, and the session and the pairing go on.
TEST_F(Server, requests_thatAreBadLeaveOnlyARefusal) {
    TestWatch stranger(*rig.peripheral);
    ASSERT_TRUE(ada.openTrustedSession());
    const std::size_t end = session(ada)->reply.size(); // where a long read may stop
    EXPECT_EQ(rig.peripheral->read(ada.central(), gatt::reply, end).result, AttResult::success);
    ada.move(1, 1);
    TestWatch pairing(*rig.peripheral);
    ASSERT_TRUE(pairing.startPairing());
    const auto pending = server.pairingRequest().value();
    int statusPublications = 0;
    const auto counting = server.status().subscribe([&](const Status&) { ++statusPublications; });
    for (const auto& [name, bytes] : std::vector<std::pair<const char*, std::optional<Bytes>>>{
             {"no value", std::nullopt},
             {"unknown kind", fromHex("0203aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")},
             {"key off the curve", fromHex("020104" + std::string(128, '0'))},
             {"nonce out of turn", TestWatch::nonceBytes({})},
         }) {
        SCOPED_TRACE(name);
        for (const TestWatch* watch : {&stranger, &ada, &pairing}) {
            const auto token = rig.peripheral->write(watch->central(), gatt::request, bytes);
            EXPECT_EQ(rig.peripheral->responseTo(token), AttResult::success);
            EXPECT_EQ(decodeReply(session(*watch) ? session(*watch)->reply : Bytes{}),
                      watch == &stranger ? std::nullopt : std::optional<Reply>(RejectedReply{}));
        }
    }
    EXPECT_EQ(statusPublications, 0);
    EXPECT_TRUE(rig.peripheral->notifications.empty());
    ada.move(1, 1);
    EXPECT_EQ(session(ada)->opener->lastSequence(), 2u);
    EXPECT_EQ(server.pairingRequest().value(), pending);
    rig.answerPairing(true);
    EXPECT_TRUE(pairing.finishSession());
}

// Only an open session's input counts, each packet newer than the last and tagged with its key.
// Leaving lets go of the session's buttons.
TEST_F(Server, input_takesNewerWellTaggedPacketsOfAnOpenSessionUntilItLeaves) {
    TestWatch committed(*rig.peripheral);
    TestWatch awaitingUser(*rig.peripheral);
    committed.sayHello();
    ASSERT_TRUE(awaitingUser.startPairing());
    for (const TestWatch* watch : {&ada, &committed, &awaitingUser})
        rig.peripheral->write(watch->central(), gatt::input, click(1, {}));
    EXPECT_TRUE(rig.events.posted.empty());

    ASSERT_TRUE(ada.openTrustedSession());
    const SymmetricKey sessionKey = *ada.sessionKey();
    const auto responses = rig.peripheral->responses.size();
    struct Step {
        const char* what;
        std::optional<Bytes> packet;
        std::uint32_t lastSequence;
        std::size_t events; // down and up per accepted click
    };
    for (const Step& step : std::vector<Step>{
             {"first", click(1, sessionKey), 1, 2},
             {"replayed", click(1, sessionKey), 1, 2},
             {"other key", click(5, SymmetricKey{}), 1, 2},
             {"no value", std::nullopt, 1, 2},
             {"skipping ahead", click(5, sessionKey), 5, 4},
         }) {
        SCOPED_TRACE(step.what);
        rig.peripheral->write(ada.central(), gatt::input, step.packet);
        EXPECT_EQ(session(ada)->opener->lastSequence(), step.lastSequence);
        EXPECT_EQ(rig.events.mouseEvents().size(), step.events);
    }
    EXPECT_EQ(rig.peripheral->responses.size(), responses) << "input is not acknowledged";

    ada.nextSequence = 6;
    ada.button(MouseButton::left, ButtonAction::down);
    rig.peripheral->unsubscribe(ada.central());
    EXPECT_EQ(session(ada), nullptr);
    EXPECT_EQ(rig.events.mouseEvents().back().type, MouseEventType::leftMouseUp);
}

// Forgetting refuses each of the watch's sessions. With the queue full, each refused signal is
// tried again once per ready call, in order, and a central that left is dropped.
TEST_F(Server, forget_endsEverySessionOfTheWatchAndResendsRefusedSignals) {
    TestWatch again(*rig.peripheral, "Ada", key);
    ASSERT_TRUE(ada.openTrustedSession());
    ASSERT_TRUE(again.openTrustedSession());
    ada.button(MouseButton::left, ButtonAction::down);
    again.button(MouseButton::right, ButtonAction::down);
    rig.peripheral->queueCapacity = 0;
    // As the menu does: the record handed over belongs to the list that forget replaces.
    server.forget(server.pairedWatches().value().front());
    EXPECT_TRUE(server.pairedWatches().value().empty());
    EXPECT_EQ(rig.events.mouseEvents().size(), 4u) << "both buttons let go";
    for (TestWatch* watch : {&ada, &again})
        EXPECT_TRUE(isReply<RejectedReply>(watch->readReply()));

    server.forget(TrustedWatch{toBytes(ada.publicKey()), "Ada", 0.0});
    const std::deque<Uuid> queued = server.signalsToResend();
    ASSERT_EQ(queued.size(), 4u);
    EXPECT_EQ(queued[0], queued[2]) << "a central stands once per refused signal";
    rig.peripheral->drainQueue();
    EXPECT_EQ(server.signalsToResend(), queued) << "refused again, each tried once in order";
    rig.peripheral->unsubscribe(queued[1]);
    rig.peripheral->queueCapacity = 1;
    rig.peripheral->drainQueue();
    EXPECT_EQ(server.signalsToResend(), std::deque<Uuid>{queued[0]}) << "the departed is dropped";
    rig.peripheral->drainQueue();
    EXPECT_TRUE(server.signalsToResend().empty());
}

} // namespace
