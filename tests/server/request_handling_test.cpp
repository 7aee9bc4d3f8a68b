#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "support/hex.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

using namespace tovali;
using namespace tovali::test;

namespace {

const Bytes rejectedBytes{0x02, 0x84};

AttRequest writeTo(const Uuid& characteristic, const Uuid& central, std::optional<Bytes> value,
                   std::size_t offset = 0) {
    return {.characteristic = characteristic, .central = central, .offset = offset, .value = value};
}

Bytes join(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

Bytes clickPacket(std::uint32_t sequence, const SymmetricKey& key) {
    return TestWatch::inputPacket(ButtonInput{MouseButton::left, ButtonAction::click}, sequence,
                                  key);
}

class RequestHandling : public testing::Test {
protected:
    void establish(TestWatch& watch) {
        ASSERT_TRUE(watch.startPairing());
        rig.answerPairing(true);
        ASSERT_TRUE(watch.finishSession());
    }
    const Session* session(const TestWatch& watch) const { return server.session(watch.central()); }
    bool answeredWithSuccess(std::uint64_t token) const {
        return rig.peripheral->responseTo(token) == AttResult::success;
    }

    ServerRig rig;
    BluetoothServer& server = rig.startAdvertising();
    int statusPublications = 0;
    Subscription counting =
        server.status().subscribe([this](const Status&) { ++statusPublications; });
};

TEST_F(RequestHandling, writeBatch_withFragmentsOutOfOrder_joinsByOffsetForFirstArrival) {
    TestWatch watch(*rig.peripheral);
    const Uuid other = rig.peripheral->connectCentral();
    const Bytes hello = watch.helloBytes();
    const Bytes head(hello.begin(), hello.begin() + 20);
    const Bytes tail(hello.begin() + 20, hello.end());

    const auto tokens = rig.peripheral->writeBatch({
        writeTo(gatt::request, watch.central(), tail, 20),
        writeTo(gatt::request, other, head, 0),
    });

    ASSERT_EQ(rig.peripheral->responses.size(), 1u);
    EXPECT_TRUE(answeredWithSuccess(tokens[0]));
    EXPECT_EQ(server.session(other), nullptr);
    ASSERT_NE(session(watch), nullptr);
    EXPECT_EQ(session(watch)->watchKey, watch.publicKey());
    EXPECT_TRUE(std::holds_alternative<PairingCommitReply>(*watch.readReply()));
}

TEST_F(RequestHandling, writeBatch_withoutRequestFragment_isNotAnswered) {
    TestWatch watch(*rig.peripheral);
    const SymmetricKey key{};
    const std::vector<std::vector<AttRequest>> batches{
        {writeTo(gatt::input, watch.central(), clickPacket(1, key)),
         writeTo(gatt::input, watch.central(), Bytes{0x10})},
        {writeTo(gatt::input, watch.central(), std::nullopt)},
        {writeTo(gatt::reply, watch.central(), watch.helloBytes()),
         writeTo(gatt::signal, watch.central(), Bytes{0x01})},
    };
    for (const auto& batch : batches)
        rig.peripheral->writeBatch(batch);
    EXPECT_TRUE(rig.peripheral->responses.empty());
    EXPECT_EQ(server.sessionCount(), 0u);
}

TEST_F(RequestHandling, handleRequest_whenMalformed_rejectsOnlyWhereSessionExists) {
    // A fragment without a value still makes a request, an empty one.
    const std::vector<std::pair<const char*, std::optional<Bytes>>> malformed{
        {"no value", std::nullopt},
        {"empty", Bytes{}},
        {"one byte", Bytes{0x02}},
        {"old version", join(hex("0102"), Bytes(16, 0xAA))},
        {"unknown kind", join(hex("0203"), Bytes(16, 0xAA))},
        {"short nonce", join(hex("0202"), Bytes(15, 0xAA))},
        {"long nonce", join(hex("0202"), Bytes(17, 0xAA))},
        {"short hello", join(hex("0201"), Bytes(64, 0x04))},
    };
    TestWatch stranger(*rig.peripheral);
    TestWatch committed(*rig.peripheral);
    committed.sayHello();
    ASSERT_TRUE(std::holds_alternative<PairingCommitReply>(*committed.readReply()));
    statusPublications = 0;

    for (const auto& [name, bytes] : malformed) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(
            answeredWithSuccess(rig.peripheral->write(stranger.central(), gatt::request, bytes)));
        EXPECT_EQ(session(stranger), nullptr);
        EXPECT_TRUE(
            answeredWithSuccess(rig.peripheral->write(committed.central(), gatt::request, bytes)));
        EXPECT_EQ(session(committed)->reply, rejectedBytes);
    }
    EXPECT_EQ(statusPublications, 0);
    EXPECT_TRUE(rig.peripheral->notifications.empty());

    // Nothing but the reply changed: the pairing goes on from its commitment.
    committed.sendNonce();
    EXPECT_TRUE(std::holds_alternative<PairingRevealReply>(*committed.readReply()));
    EXPECT_TRUE(committed.code());
}

TEST_F(RequestHandling, hello_withKeyOffTheCurve_leavesPreviousSessionAlone) {
    TestWatch established(*rig.peripheral, "Established");
    establish(established);
    established.move(1, 1);
    TestWatch pairing(*rig.peripheral);
    ASSERT_TRUE(pairing.startPairing());
    const auto pending = server.pairingRequest().value();
    statusPublications = 0;

    const Bytes badHello = join(hex("020104"), Bytes(64, 0x00));
    for (const TestWatch* watch : {&established, &pairing}) {
        EXPECT_TRUE(
            answeredWithSuccess(rig.peripheral->write(watch->central(), gatt::request, badHello)));
        EXPECT_EQ(session(*watch)->reply, rejectedBytes);
    }

    EXPECT_EQ(statusPublications, 0);
    EXPECT_EQ(session(established)->name, "Established");
    EXPECT_EQ(session(established)->opener->lastSequence(), 1u);
    established.move(1, 1);
    EXPECT_EQ(session(established)->opener->lastSequence(), 2u);
    // The key is checked before a pairing central's hello withdraws its request.
    EXPECT_EQ(server.pairingRequest().value(), pending);
    EXPECT_TRUE(server.isPairingTimeoutRunning());
}

TEST_F(RequestHandling, nonce_withoutHello_storesNothing) {
    TestWatch watch(*rig.peripheral);
    EXPECT_TRUE(answeredWithSuccess(watch.sendNonce()));
    EXPECT_EQ(server.sessionCount(), 0u);
    EXPECT_EQ(statusPublications, 0);
    const auto read = rig.peripheral->read(watch.central(), gatt::reply);
    EXPECT_EQ(read.result, AttResult::success);
    EXPECT_TRUE(read.value.empty());
}

TEST_F(RequestHandling, nonce_sentTwice_rejectsSecondAndKeepsPairing) {
    TestWatch watch(*rig.peripheral);
    ASSERT_TRUE(watch.startPairing());
    const auto pending = server.pairingRequest().value();

    EXPECT_TRUE(answeredWithSuccess(watch.sendNonce()));

    EXPECT_EQ(session(watch)->reply, rejectedBytes);
    EXPECT_EQ(server.pairingRequest().value(), pending);
    EXPECT_TRUE(server.isPairingTimeoutRunning());
    rig.answerPairing(true);
    EXPECT_TRUE(watch.finishSession());
}

TEST_F(RequestHandling, inputPacket_withoutEstablishedSession_isDropped) {
    TestWatch unknown(*rig.peripheral);
    TestWatch committed(*rig.peripheral);
    TestWatch awaitingUser(*rig.peripheral);
    TestWatch refused(*rig.peripheral);
    committed.sayHello();
    ASSERT_TRUE(refused.startPairing());
    rig.answerPairing(false);
    rig.loop.advance(PairingBackoff::firstWait);
    ASSERT_TRUE(awaitingUser.startPairing());

    const SymmetricKey guess{};
    for (TestWatch* watch : {&unknown, &committed, &awaitingUser, &refused})
        watch->sendRaw(clickPacket(1, guess));
    EXPECT_TRUE(rig.events.posted.empty());
}

TEST_F(RequestHandling, inputPacket_inSession_acceptsOnlyNewerWellTaggedPackets) {
    TestWatch watch(*rig.peripheral);
    establish(watch);
    const SymmetricKey key = *watch.sessionKey();
    const auto responsesBefore = rig.peripheral->responses.size();
    Bytes badTag = clickPacket(6, key);
    badTag.back() ^= 0x01;
    struct Step {
        const char* what;
        std::optional<Bytes> packet;
        std::uint32_t lastSequence;
        std::size_t events; // down and up per accepted click
    };
    const std::vector<Step> steps{
        {"first", clickPacket(1, key), 1, 2},
        {"replayed", clickPacket(1, key), 1, 2},
        {"skipping ahead", clickPacket(5, key), 5, 4},
        {"older", clickPacket(4, key), 5, 4},
        {"bad tag", badTag, 5, 4},
        {"other key", clickPacket(6, SymmetricKey{}), 5, 4},
        {"no value", std::nullopt, 5, 4},
        {"next", clickPacket(6, key), 6, 6},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        rig.peripheral->write(watch.central(), gatt::input, step.packet);
        EXPECT_EQ(session(watch)->opener->lastSequence(), step.lastSequence);
        EXPECT_EQ(rig.events.mouseEvents().size(), step.events);
    }
    EXPECT_EQ(rig.peripheral->responses.size(), responsesBefore);
}

} // namespace
