#include <algorithm>
#include <deque>
#include <variant>

#include <gtest/gtest.h>

#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

namespace {

using namespace tovali;
using namespace tovali::test;

const Bytes replyReadyValue{0x01};

long countOf(const EventRecorder& events, MouseEventType type) {
    return std::ranges::count(events.mouseEvents(), type, &MouseEvent::type);
}

/// A rig whose server trusts one watch key from launch.
class ServerSessions : public ::testing::Test {
protected:
    BluetoothServer& start() {
        rig.trust(key, "Ada");
        return rig.startAdvertising();
    }
    TestWatch trustedWatch() { return TestWatch(*rig.peripheral, "Ada", key); }
    // A copy, still at hand after the published list has changed.
    TrustedWatch trusted() const { return rig.server->pairedWatches().value().at(0); }

    ServerRig rig;
    crypto::PrivateKey key = crypto::PrivateKey::generate();
};

TEST_F(ServerSessions, trustedHello_thenReadsAtEachOffset_returnTheTailWithoutConsumingIt) {
    auto& server = start();
    TestWatch ada = trustedWatch();
    ASSERT_TRUE(ada.openTrustedSession());
    // The trusted hello answers in its own acknowledgement: no signal, but low latency.
    EXPECT_TRUE(rig.peripheral->notifications.empty());
    ASSERT_EQ(rig.peripheral->latencyRequests.size(), 1u);
    EXPECT_EQ(rig.peripheral->latencyRequests[0].latency, ConnectionLatency::low);
    EXPECT_EQ(rig.peripheral->latencyRequests[0].central, ada.central());
    const Bytes reply = server.session(ada.central())->reply;
    ASSERT_EQ(reply.size(), 83u);

    for (const std::size_t offset : {0u, 22u, 44u, 66u, 83u, 0u}) {
        const auto read = rig.peripheral->read(ada.central(), gatt::reply, offset);
        EXPECT_EQ(read.result, AttResult::success) << offset;
        EXPECT_EQ(read.value,
                  Bytes(reply.begin() + static_cast<std::ptrdiff_t>(offset), reply.end()));
    }
    EXPECT_EQ(rig.peripheral->read(ada.central(), gatt::reply, 84).result,
              AttResult::invalidOffset);

    const Uuid stranger = rig.peripheral->connectCentral();
    const auto empty = rig.peripheral->read(stranger, gatt::reply, 0);
    EXPECT_EQ(empty.result, AttResult::success);
    EXPECT_TRUE(empty.value.empty());
    EXPECT_EQ(rig.peripheral->read(stranger, gatt::reply, 1).result, AttResult::invalidOffset);

    for (const Uuid& other : {gatt::request, gatt::signal, gatt::input}) {
        EXPECT_EQ(rig.peripheral->read(ada.central(), other).result, AttResult::readNotPermitted);
    }
}

TEST_F(ServerSessions, readyCall_afterQueueFull_triesEachQueuedCentralOnceInOrder) {
    auto& server = start();
    TestWatch one = trustedWatch();
    TestWatch two = trustedWatch();
    ASSERT_TRUE(one.openTrustedSession());
    ASSERT_TRUE(two.openTrustedSession());
    rig.peripheral->queueCapacity = 0;
    const TrustedWatch record = trusted();
    server.forget(record);
    server.forget(record);
    const std::deque<Uuid> queued = server.signalsToResend();
    ASSERT_EQ(queued.size(), 4u);
    EXPECT_EQ(queued[0], queued[2]) << "a central stands once per refused signal";

    // Refused again from the first: the rest are still tried and keep their order.
    rig.peripheral->notifications.clear();
    rig.peripheral->drainQueue();
    EXPECT_EQ(rig.peripheral->notifications.size(), 4u);
    EXPECT_EQ(server.signalsToResend(), queued);

    rig.peripheral->unsubscribe(queued[1]);
    rig.peripheral->notifications.clear();
    rig.peripheral->queueCapacity = 1;
    rig.peripheral->drainQueue();
    EXPECT_EQ(server.signalsToResend(), std::deque<Uuid>{queued[0]}) << "the departed is dropped";
    rig.peripheral->drainQueue();
    EXPECT_TRUE(server.signalsToResend().empty());
    EXPECT_TRUE(rig.peripheral->notificationsTo(queued[1]).empty());
    const auto sent = rig.peripheral->notificationsTo(queued[0]);
    ASSERT_EQ(sent.size(), 3u) << "sent, refused, sent";
    for (const auto& n : sent) {
        EXPECT_EQ(n.value, replyReadyValue);
        EXPECT_EQ(n.characteristic, gatt::signal);
    }
    EXPECT_TRUE(sent[0].queued && !sent[1].queued && sent[2].queued);
}

TEST_F(ServerSessions, forget_watchWithTwoSessions_endsBothAndReleasesOnce) {
    auto& server = start();
    TestWatch one = trustedWatch();
    TestWatch two = trustedWatch();
    ASSERT_TRUE(one.openTrustedSession());
    ASSERT_TRUE(two.openTrustedSession());
    one.button(MouseButton::left, ButtonAction::down);
    two.button(MouseButton::right, ButtonAction::down);
    ASSERT_EQ(server.status().value(), Status::connected("Ada"));

    // As the menu does: the record handed over belongs to the list that forget replaces.
    server.forget(server.pairedWatches().value().front());
    EXPECT_TRUE(server.pairedWatches().value().empty());
    EXPECT_EQ(server.status().value(), Status::waiting());
    EXPECT_EQ(countOf(rig.events, MouseEventType::leftMouseUp), 1);
    EXPECT_EQ(countOf(rig.events, MouseEventType::rightMouseUp), 1);
    for (TestWatch* watch : {&one, &two}) {
        EXPECT_FALSE(server.session(watch->central())->isEstablished());
        const auto signals = rig.peripheral->notificationsTo(watch->central());
        ASSERT_EQ(signals.size(), 1u);
        EXPECT_EQ(signals[0].value, replyReadyValue);
        EXPECT_TRUE(isReply<RejectedReply>(watch->readReply()));
    }

    const auto postedBefore = rig.events.posted.size();
    one.move(30, 30);
    two.button(MouseButton::left, ButtonAction::click);
    rig.loop.runFrames(60);
    EXPECT_EQ(rig.events.posted.size(), postedBefore) << "input of a forgotten watch";
}

TEST_F(ServerSessions, unsubscribe_releasesHeldButtonsOnlyForAnEstablishedCentral) {
    auto& server = start();
    TestWatch ada = trustedWatch();
    ASSERT_TRUE(ada.openTrustedSession());
    ada.button(MouseButton::left, ButtonAction::down);
    TestWatch bob(*rig.peripheral, "Bob");
    ASSERT_TRUE(bob.startPairing());
    TestWatch idle(*rig.peripheral, "Cleo");
    idle.sayHello();
    ASSERT_EQ(server.sessionCount(), 3u);

    rig.peripheral->unsubscribe(bob.central());
    rig.peripheral->unsubscribe(idle.central());
    EXPECT_EQ(server.sessionCount(), 1u);
    EXPECT_FALSE(server.pairingRequest().value());
    EXPECT_FALSE(server.isPairingTimeoutRunning());
    EXPECT_EQ(countOf(rig.events, MouseEventType::leftMouseUp), 0);
    EXPECT_EQ(server.status().value(), Status::connected("Ada"));

    rig.peripheral->unsubscribe(ada.central());
    EXPECT_EQ(server.sessionCount(), 0u);
    EXPECT_EQ(countOf(rig.events, MouseEventType::leftMouseUp), 1);
    EXPECT_EQ(server.status().value(), Status::waiting());
    rig.loop.advance(100);
    EXPECT_TRUE(rig.peripheral->notifications.empty()) << "no time-out after the pairing left";
}

} // namespace
