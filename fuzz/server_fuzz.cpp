// A whole server on the test doubles, driven by a program: four centrals writing, reading and
// leaving, real watches pairing and sending packets, the radio, the user and the clock. After
// every operation the server's state must still hang together.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "link/key_schedule.hpp"
#include "server/computer_key.hpp"
#include "support/server_rig.hpp"
#include "support/test_watch.hpp"

using namespace tovali;
using namespace tovali::test;

namespace {

void check(bool holds) {
    if (!holds)
        std::abort();
}

struct Program {
    ByteView data;
    std::uint8_t byte() {
        const std::uint8_t b = data.empty() ? 0 : data.front();
        data = data.subspan(data.empty() ? 0 : 1);
        return b;
    }
    Bytes bytes(std::size_t count) {
        const ByteView taken = data.first(std::min(count, data.size()));
        data = data.subspan(taken.size());
        return toBytes(taken);
    }
    std::uint32_t word() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | byte();
        return value;
    }
    std::size_t offset() {
        const std::uint8_t b = byte();
        return b == 0xff ? std::numeric_limits<std::size_t>::max() : b;
    }
};

// Fixed keys: making them for every input would cost more than the rest of the run.
const crypto::PrivateKey& key(unsigned index) {
    static const auto keys = [] {
        std::vector<crypto::PrivateKey> made;
        for (const int fill : {0x11, 0x22, 0x33, 0x44, 0x5a}) {
            FixedBytes<32> raw{};
            raw.fill(static_cast<std::uint8_t>(fill));
            made.push_back(*crypto::PrivateKey::fromRaw(raw));
        }
        return made;
    }();
    return keys[index];
}
const crypto::PrivateKey& computerKey() {
    return key(4);
}

constexpr std::array<Uuid, 8> characteristics{gatt::request, gatt::input, gatt::request,
                                              gatt::input,   gatt::reply, gatt::signal,
                                              gatt::service, Uuid{}};

struct World {
    ServerRig rig;
    std::vector<TestWatch> watches;
    std::set<std::uint64_t> answered;
    std::size_t responsesSeen = 0;
    std::size_t notificationsSeen = 0;
    double lastInput = -1e9;
    double requestSince = 0.0;
    double requestShownAt = 0.0;
    /// The pending request whose end checkState has yet to judge.
    std::optional<PairingRequest> ended;
    double endedAt = 0.0;
    /// Continuous times of pairings that ended unapproved, and of those begun, since the last
    /// approval.
    std::vector<double> unapprovedEnds;
    std::vector<double> starts;
    std::size_t cancelsSeen = 0;
    Subscription requestWatch;

    BluetoothServer& server() { return *rig.server; }
    MemoryPeripheral& peripheral() { return *rig.peripheral; }
    const Session* session(unsigned slot) { return server().session(watches[slot & 3].central()); }
    bool isPaired(ByteView watchKey) {
        return std::ranges::any_of(server().pairedWatches().value(), [&](const TrustedWatch& t) {
            return std::ranges::equal(t.key, watchKey);
        });
    }
    // A batch holding a request is answered once, with success, on its first request; no other.
    void write(const std::vector<AttRequest>& batch) {
        const std::size_t before = peripheral().responses.size();
        const auto tokens = peripheral().writeBatch(batch);
        const auto first = std::ranges::find(batch, gatt::request, &AttRequest::characteristic);
        const auto& responses = peripheral().responses;
        check(responses.size() == before + (first == batch.end() ? 0 : 1));
        if (first != batch.end())
            check(responses.back().request.token == tokens[first - batch.begin()] &&
                  responses.back().result == AttResult::success);
        if (std::ranges::find(batch, gatt::input, &AttRequest::characteristic) != batch.end())
            lastInput = rig.loop.uptime();
    }
};

void checkState(World& w) {
    BluetoothServer& server = w.server();
    MemoryPeripheral& peripheral = w.peripheral();
    for (; w.responsesSeen < peripheral.responses.size(); ++w.responsesSeen) {
        const auto& [request, result] = peripheral.responses[w.responsesSeen];
        check(result == AttResult::success || result == AttResult::readNotPermitted ||
              result == AttResult::invalidOffset);
        check(w.answered.insert(request.token).second);
    }
    for (; w.notificationsSeen < peripheral.notifications.size(); ++w.notificationsSeen) {
        const auto& sent = peripheral.notifications[w.notificationsSeen];
        check(sent.value == Bytes{replyReady} && sent.characteristic == gatt::signal &&
              server.session(sent.central));
    }
    const auto& paired = server.pairedWatches().value();
    const auto stored = w.rig.defaults.values.find(TrustStore::defaultsName);
    check(stored == w.rig.defaults.values.end() ? paired.empty()
                                                : decodeTrustedWatches(stored->second) == paired);

    std::size_t sessions = 0;
    std::vector<std::string> establishedNames;
    for (unsigned slot = 0; slot < 4; ++slot) {
        const Session* session = w.session(slot);
        if (!session)
            continue;
        ++sessions;
        check(session->central == w.watches[slot].central() && decodeReply(session->reply));
        if (session->isEstablished()) {
            check(!session->computerNonce && !session->watchNonce && w.isPaired(session->watchKey));
            establishedNames.push_back(session->name);
        }
    }
    check(sessions == server.sessionCount());

    // However the requests come and go, a new pairing waits after an unapproved one, and no
    // more than a handful begin in ten minutes.
    const double now = w.rig.loop.continuousTime();
    if (w.ended) {
        const Session* session = server.session(w.ended->id);
        if (session && session->isEstablished() && w.isPaired(session->watchKey)) {
            w.unapprovedEnds.clear();
            w.starts.clear();
        } else if (peripheral.state() == PeripheralState::poweredOn) {
            w.unapprovedEnds.push_back(w.endedAt);
        }
        w.ended.reset();
    }
    check(std::ranges::count_if(w.starts, [&](double t) { return now - t < 600.0; }) <= 16);
    for (; w.cancelsSeen < peripheral.cancelledConnections.size(); ++w.cancelsSeen) {
        const Uuid& cancelled = peripheral.cancelledConnections[w.cancelsSeen];
        const Session* session = server.session(cancelled);
        check(
            w.rig.loop.uptime() >= BluetoothServer::idleCentralSeconds &&
            (!session || !session->isEstablished()) &&
            (!server.pairingRequest().value() || server.pairingRequest().value()->id != cancelled));
    }

    const auto& request = server.pairingRequest().value();
    check(server.isPairingTimeoutRunning() == request.has_value());
    if (request) {
        const Session* session = server.session(request->id);
        check(session && session->computerNonce && session->watchNonce &&
              !session->isEstablished() && session->name == request->name);
        check(w.rig.loop.continuousTime() - w.requestSince <
              BluetoothServer::pairingTimeoutSeconds + 1e-6);
    }
    // The safety timer lets a button outlive the watch's last packet by at most 25 s.
    if (!server.input().held().empty())
        check(w.rig.loop.uptime() - w.lastInput <= InputEngine::idleReleaseAfter + 6.0);

    const Status& status = server.status().value();
    using enum PeripheralState;
    if (const PeripheralState state = peripheral.state(); state != poweredOn)
        return check(status == (state == unsupported    ? Status::unsupported()
                                : state == unauthorized ? Status::notAllowed()
                                : state == poweredOff   ? Status::bluetoothOff()
                                                        : Status::starting()));
    if (request)
        check(status == Status::pairing(request->name));
    else if (!establishedNames.empty())
        check(status.kind() == Status::Case::connected &&
              std::ranges::count(establishedNames, status.text()) > 0);
    else if (server.serviceError())
        check(status == Status::failed(*server.serviceError()));
    else
        check(status == (peripheral.isAdvertising() ? Status::waiting() : Status::starting()));
}

// Any slot's key and a fuzzed name, cut into fragments that may arrive backwards.
void hello(World& w, Program& program, std::uint8_t x) {
    const Uuid central = w.watches[x & 3].central();
    const PublicKeyBytes& watchKey = key((x >> 2) & 3).publicKey();
    Bytes bytes{protocolVersion, 0x01};
    bytes.insert(bytes.end(), watchKey.begin(), watchKey.end());
    const Bytes name = program.bytes(program.byte() % 64);
    bytes.insert(bytes.end(), name.begin(), name.end());
    std::vector<std::size_t> cuts{0, bytes.size()};
    for (int i = 0; i < ((x >> 4) & 3); ++i)
        cuts.push_back(program.byte() % (bytes.size() + 1));
    std::ranges::sort(cuts);
    std::vector<AttRequest> batch;
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i)
        batch.push_back({.characteristic = gatt::request,
                         .central = central,
                         .offset = cuts[i],
                         .value = Bytes(bytes.begin() + cuts[i], bytes.begin() + cuts[i + 1])});
    if (x & 0x40)
        std::ranges::reverse(batch);

    const bool trusted = w.isPaired(watchKey);
    const auto pending = w.server().pairingRequest().value();
    const bool otherPending = pending && pending->id != central;
    const bool existed = w.session(x) != nullptr;
    const bool wasEstablished = existed && w.session(x)->isEstablished();
    w.write(batch);
    // Read after the write: a hello that withdraws its own pending request starts a wait.
    const bool delayed = w.server().isPairingDelayed();
    const Session* session = w.session(x);
    const auto parsed = parseRequest(bytes);
    if (!parsed) {
        check(existed == (session != nullptr) && w.server().pairingRequest().value() == pending);
        return check(!session || session->reply == encodeReply(RejectedReply{}));
    }
    const std::string& sent = std::get<HelloRequest>(*parsed).name;
    check(session && session->watchKey == watchKey &&
          session->name == (sent.empty() ? "Apple Watch" : sent));
    check(w.server().pairingRequest().value() == (otherPending ? pending : std::nullopt));
    // A replaced session leaves no button held, whatever the new one becomes.
    check(!wasEstablished || w.server().input().held().empty());
    const Reply reply = *decodeReply(session->reply);
    const auto* commit = std::get_if<PairingCommitReply>(&reply);
    if (trusted)
        check(session->isEstablished() && std::holds_alternative<SessionOpenReply>(reply));
    else if (otherPending || delayed)
        check(!session->computerNonce && std::holds_alternative<BusyReply>(reply));
    else
        check(session->computerNonce && !session->watchNonce && commit &&
              *commit == PairingCommitReply{computerKey().publicKey(),
                                            pairingCommitment(watchKey, computerKey().publicKey(),
                                                              *session->computerNonce)});
}

void nonce(World& w, Program& program, std::uint8_t x) {
    Bytes bytes = program.bytes(16);
    bytes.resize(16);
    const Nonce watchNonce = *fixedBytes<16>(bytes);
    const Session* session = w.session(x);
    const auto pending = w.server().pairingRequest().value();
    const auto computerNonce = session ? session->computerNonce : std::nullopt;
    const bool inTurn = computerNonce && !session->watchNonce && !pending;
    const bool delayed = w.server().isPairingDelayed();
    w.write({{.characteristic = gatt::request,
              .central = w.watches[x & 3].central(),
              .value = TestWatch::nonceBytes(watchNonce)}});
    session = w.session(x);
    const auto& request = w.server().pairingRequest().value();
    if (inTurn && delayed)
        return check(!request && !session->computerNonce &&
                     session->reply == encodeReply(BusyReply{}));
    if (!inTurn)
        return check(request == pending &&
                     (!session || session->reply == encodeReply(RejectedReply{})));
    check(session->watchNonce == watchNonce &&
          decodeReply(session->reply) == Reply{PairingRevealReply{*computerNonce}});
    check(request && request->id == session->central &&
          request->code == confirmationCode(session->watchKey, computerKey().publicKey(),
                                            watchNonce, *computerNonce));
}

// A sessionOpen must give the watch the key the server opens its packets with.
void readReply(World& w, std::uint8_t x) {
    TestWatch& watch = w.watches[x & 3];
    const auto reply = watch.readReply();
    const Session* session = w.server().session(watch.central());
    if (reply && std::holds_alternative<SessionOpenReply>(*reply) && session &&
        session->isEstablished() && session->watchKey == watch.publicKey())
        check(session->opener->key() == watch.sessionKey());
}

void input(World& w, Program& program, std::uint8_t x) {
    TestWatch& watch = w.watches[x & 3];
    Bytes p = program.bytes(4);
    p.resize(4);
    const auto dx = static_cast<std::int16_t>(p[0] | p[1] << 8);
    const auto dy = static_cast<std::int16_t>(p[2] | p[3] << 8);
    const auto button = MouseButton{p[0]};
    const auto action = ButtonAction{p[1]};
    const int kind = ((x >> 2) & 3) % 3;
    const InputEvent event = kind == 0   ? InputEvent{MoveInput{dx, dy}}
                             : kind == 1 ? InputEvent{ScrollInput{dx, dy}}
                                         : InputEvent{ButtonInput{button, action}};
    // The next number, a replay, zero, or any number at all.
    const int mode = (x >> 4) & 3;
    const std::uint32_t sequence = mode == 0   ? watch.nextSequence++
                                   : mode == 1 ? watch.nextSequence - 1
                                   : mode == 2 ? 0
                                               : program.word();
    if (!watch.sessionKey())
        return;
    const Session* session = w.server().session(watch.central());
    const auto last = session && session->isEstablished()
                          ? std::optional(session->opener->lastSequence())
                          : std::nullopt;
    const bool valid = kind != 2 || (mouseButtonFromRaw(static_cast<std::uint8_t>(button)) &&
                                     buttonActionFromRaw(static_cast<std::uint8_t>(action)));
    const bool accepted =
        last && session->opener->key() == *watch.sessionKey() && valid && sequence > *last;
    const std::size_t posted = w.rig.events.posted.size();
    w.write({{.characteristic = gatt::input,
              .central = watch.central(),
              .value = TestWatch::inputPacket(event, sequence, *watch.sessionKey())}});
    // A refused packet must not reach the engine; a replayed click would show here.
    check(accepted || w.rig.events.posted.size() == posted);
    if (!last)
        return;
    session = w.server().session(watch.central());
    check(session && session->isEstablished() &&
          session->opener->lastSequence() == (accepted ? sequence : *last));
    if (accepted && kind == 2)
        check(w.server().input().held().contains(button) == (action == ButtonAction::down));
}

// The user's answer, for the request shown or for one that has since gone.
void answer(World& w, std::uint8_t x) {
    BluetoothServer& server = w.server();
    const auto request = server.pairingRequest().value();
    const bool allow = x & 1;
    PairingRequest answered = request.value_or(PairingRequest{});
    if (x & 2)
        answered.code = "000 000";
    if (x & 4)
        answered.id = w.watches[(x >> 3) & 3].central();
    const bool current = request && answered.id == request->id && answered.code == request->code;
    const bool armed =
        !(w.rig.loop.uptime() < w.requestShownAt + BluetoothServer::pairingArmingSeconds);
    server.answerPairing(answered, allow);
    if (!current || (allow && !armed))
        return check(server.pairingRequest().value() == request);
    check(!server.pairingRequest().value());
    if (const Session* session = server.session(request->id))
        check(session->isEstablished() == allow && (!allow || w.isPaired(session->watchKey)));
    if (allow)
        w.unapprovedEnds.clear();
}

void step(World& w, Program& program) {
    BluetoothServer& server = w.server();
    MemoryPeripheral& peripheral = w.peripheral();
    const std::uint8_t op = program.byte();
    const std::uint8_t x = program.byte();
    const Uuid central = w.watches[x & 3].central();
    const Uuid characteristic = characteristics[(x >> 2) & 7];
    switch (op % 16) {
    case 0: {
        std::vector<AttRequest> batch(1 + x % 4);
        for (AttRequest& request : batch) {
            const std::uint8_t y = program.byte();
            request.central = w.watches[y & 3].central();
            request.characteristic = characteristics[(y >> 2) & 7];
            request.offset = program.offset();
            if (!(y & 0x80))
                request.value = program.bytes(program.byte());
        }
        return w.write(batch);
    }
    case 1: {
        const std::size_t offset = program.offset();
        const Session* session = server.session(central);
        const Bytes reply = session ? session->reply : Bytes{};
        const auto read = peripheral.read(central, characteristic, offset);
        if (characteristic != gatt::reply)
            return check(read.result == AttResult::readNotPermitted);
        if (offset > reply.size())
            return check(read.result == AttResult::invalidOffset);
        return check(read.result == AttResult::success &&
                     std::ranges::equal(read.value, ByteView(reply).subspan(offset)));
    }
    case 2: {
        peripheral.unsubscribe(central, characteristic);
        const auto& request = server.pairingRequest().value();
        return check(!server.session(central) && (!request || request->id != central));
    }
    case 3:
        peripheral.setState(static_cast<PeripheralState>(x % 8));
        if (x % 8 != static_cast<int>(PeripheralState::poweredOn))
            check(server.sessionCount() == 0 && server.input().held().empty());
        return;
    case 4:
        if (peripheral.pendingAdditions() > 0)
            peripheral.answerAddService(x & 1 ? std::optional("no room") : std::nullopt);
        return;
    case 5:
        if (peripheral.pendingAdvertising() > 0)
            peripheral.answerAdvertising(x & 1 ? std::optional("busy") : std::nullopt);
        return;
    case 6:
        peripheral.queueCapacity = x == 0xff ? std::numeric_limits<std::size_t>::max() : x % 4;
        return;
    case 7:
        return peripheral.drainQueue();
    case 8:
        return answer(w, x);
    case 9: {
        const auto& paired = server.pairedWatches().value();
        const TrustedWatch stranger{toBytes(key(x & 3).publicKey()), "", 0.0};
        // The menu passes a record of the published list itself, which the call replaces.
        const TrustedWatch& watch =
            paired.empty() || (x & 0x80) ? stranger : paired[x % paired.size()];
        const Bytes forgotten = watch.key;
        server.forget(watch);
        return check(!w.isPaired(forgotten) && server.input().held().empty());
    }
    case 10: {
        constexpr std::array<double, 8> steps{0.001, 0.5, 1.0, 2.0, 5.0, 21.0, 89.99, 600.0};
        return w.rig.loop.advance(steps[x % steps.size()]);
    }
    case 11:
        return w.rig.loop.runFrames(1 + x % 16);
    case 12:
        return hello(w, program, x);
    case 13:
        return nonce(w, program, x);
    case 14:
        return readReply(w, x);
    default:
        return input(w, program, x);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    World w;
    w.rig.keychain.putItem(KeychainVariant::dataProtection, computerKeyService, computerKeyAccount,
                           toBytes(computerKey().raw()));
    Program program{{data, size}};
    // Most programs start from advertising; the rest from a radio not yet known.
    if (program.byte() & 1)
        w.rig.startAdvertising();
    else
        w.rig.start();
    w.requestWatch = w.server().pairingRequest().subscribe([&w](const auto& request) {
        const auto& before = w.server().pairingRequest().value();
        const double now = w.rig.loop.continuousTime();
        if (before && !request) {
            w.ended = before;
            w.endedAt = now;
        }
        if (!request)
            return;
        w.requestSince = now;
        w.requestShownAt = w.rig.loop.uptime();
        if (!w.unapprovedEnds.empty() && now - w.unapprovedEnds.back() < 600.0)
            check(now - w.unapprovedEnds.back() >= 2.0 - 1e-9);
        w.starts.push_back(now);
    });
    for (unsigned slot = 0; slot < 4; ++slot)
        w.watches.emplace_back(w.peripheral(), "Watch " + std::to_string(slot), key(slot));
    checkState(w);
    // Long programs add little beyond their first operations and slow every run.
    for (int count = 0; count < 200 && !program.data.empty(); ++count) {
        step(w, program);
        checkState(w);
    }
    return 0;
}
