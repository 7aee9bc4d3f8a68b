#include "support/test_watch.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <utility>
#include <variant>

#include "link/key_schedule.hpp"

namespace tovali::test {

namespace {

template <std::size_t N>
FixedBytes<N> field(ByteView bytes, std::size_t offset) {
    return *fixedBytes<N>(bytes.subspan(offset, N));
}

void append(Bytes& out, ByteView bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void appendInt16(Bytes& out, std::int16_t value) {
    const auto raw = static_cast<std::uint16_t>(value);
    out.push_back(static_cast<std::uint8_t>(raw & 0xFF));
    out.push_back(static_cast<std::uint8_t>(raw >> 8));
}

} // namespace

std::optional<Reply> decodeReply(ByteView bytes) {
    if (bytes.size() < 2 || bytes[0] != protocolVersion)
        return std::nullopt;
    if (bytes[1] == 0x81 && bytes.size() == 83)
        return SessionOpenReply{field<65>(bytes, 2), field<16>(bytes, 67)};
    if (bytes[1] == 0x82 && bytes.size() == 99)
        return PairingCommitReply{field<65>(bytes, 2), field<32>(bytes, 67)};
    if (bytes[1] == 0x83 && bytes.size() == 18)
        return PairingRevealReply{field<16>(bytes, 2)};
    if (bytes[1] == 0x84 && bytes.size() == 2)
        return RejectedReply{};
    if (bytes[1] == 0x85 && bytes.size() == 2)
        return BusyReply{};
    return std::nullopt;
}

namespace {

class MemoryRadio : public WatchRadio {
public:
    MemoryRadio(MemoryPeripheral& peripheral, Uuid central)
        : peripheral_(peripheral), central_(central) {}

    std::uint64_t write(const Uuid& characteristic, Bytes value) override {
        return peripheral_.write(central_, characteristic, std::move(value));
    }
    std::optional<AttResult> responseTo(std::uint64_t token) const override {
        return peripheral_.responseTo(token);
    }
    std::optional<Bytes> readLong(const Uuid& characteristic) override {
        return peripheral_.readLong(central_, characteristic);
    }

private:
    MemoryPeripheral& peripheral_;
    Uuid central_;
};

} // namespace

TestWatch::TestWatch(MemoryPeripheral& peripheral, std::string name,
                     std::optional<crypto::PrivateKey> key)
    : central_(peripheral.connectCentral()),
      ownRadio_(std::make_unique<MemoryRadio>(peripheral, central_)), radio_(*ownRadio_),
      name_(std::move(name)), key_(key ? *key : crypto::PrivateKey::generate()) {}

TestWatch::TestWatch(WatchRadio& radio, std::string name, std::optional<crypto::PrivateKey> key)
    : radio_(radio), name_(std::move(name)), key_(key ? *key : crypto::PrivateKey::generate()) {}

Bytes TestWatch::helloBytes() const {
    Bytes out{protocolVersion, 0x01};
    append(out, publicKey());
    append(out, asBytes(name_));
    return out;
}

Bytes TestWatch::nonceBytes(const Nonce& nonce) {
    Bytes out{protocolVersion, 0x02};
    append(out, nonce);
    return out;
}

Bytes TestWatch::inputPacket(const InputEvent& event, std::uint32_t sequence,
                             const SymmetricKey& key) {
    Bytes out{0x12};
    Bytes payload;
    if (const auto* move = std::get_if<MoveInput>(&event)) {
        out[0] = 0x10;
        appendInt16(payload, move->dx);
        appendInt16(payload, move->dy);
    } else if (const auto* scroll = std::get_if<ScrollInput>(&event)) {
        out[0] = 0x11;
        appendInt16(payload, scroll->dx);
        appendInt16(payload, scroll->dy);
    } else {
        const auto& press = std::get<ButtonInput>(event);
        payload = {static_cast<std::uint8_t>(press.button),
                   static_cast<std::uint8_t>(press.action)};
    }
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(sequence >> shift));
    append(out, payload);
    const Digest tag = crypto::HmacSha256(key).tag(out);
    out.insert(out.end(), tag.begin(), tag.begin() + tagLength);
    return out;
}

std::uint64_t TestWatch::sayHello() {
    return radio_.write(gatt::request, helloBytes());
}

std::uint64_t TestWatch::sendNonce() {
    watchNonce_ = makeNonce();
    return radio_.write(gatt::request, nonceBytes(*watchNonce_));
}

std::optional<Reply> TestWatch::readReply() {
    auto bytes = radio_.readLong(gatt::reply);
    std::optional<Reply> reply = bytes ? decodeReply(*bytes) : std::nullopt;
    if (reply)
        takeIn(*reply);
    return reply;
}

std::optional<std::string> TestWatch::startPairing() {
    code_.reset();
    if (!accepted(sayHello()) || !isReply<PairingCommitReply>(readReply()) ||
        !accepted(sendNonce()) || !isReply<PairingRevealReply>(readReply()))
        return std::nullopt;
    return code_;
}

bool TestWatch::finishSession() {
    return isReply<SessionOpenReply>(readReply()) && sessionKey_;
}

bool TestWatch::openTrustedSession() {
    return accepted(sayHello()) && finishSession();
}

Bytes TestWatch::move(std::int16_t dx, std::int16_t dy) {
    return sendEvent(MoveInput{dx, dy});
}

Bytes TestWatch::button(MouseButton which, ButtonAction action) {
    return sendEvent(ButtonInput{which, action});
}

bool TestWatch::accepted(std::uint64_t token) const {
    return radio_.responseTo(token) == AttResult::success;
}

void TestWatch::takeIn(const Reply& reply) {
    if (const auto* commit = std::get_if<PairingCommitReply>(&reply)) {
        computerKey_ = commit->computerKey;
        commitment_ = commit->commitment;
        code_.reset();
    } else if (const auto* reveal = std::get_if<PairingRevealReply>(&reply)) {
        // The real watch shows no code for a nonce the computer did not commit to.
        const bool kept =
            computerKey_ && commitment_ && watchNonce_ &&
            pairingCommitment(publicKey(), *computerKey_, reveal->computerNonce) == *commitment_;
        code_.reset();
        if (kept)
            code_ =
                confirmationCode(publicKey(), *computerKey_, *watchNonce_, reveal->computerNonce);
    } else if (const auto* open = std::get_if<SessionOpenReply>(&reply)) {
        computerKey_ = open->computerKey;
        sessionKey_ = deriveSessionKey(key_, open->computerKey, open->salt);
        nextSequence = 1;
    }
}

Bytes TestWatch::sendEvent(const InputEvent& event) {
    // Input before a session is a broken test; deliberate strays are written as they are.
    if (!sessionKey_)
        throw std::logic_error("the watch has no session key");
    Bytes packet = inputPacket(event, nextSequence++, *sessionKey_);
    radio_.write(gatt::input, packet);
    return packet;
}

} // namespace tovali::test
