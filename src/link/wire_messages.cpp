#include "link/wire_messages.hpp"

#include "link/watch_name.hpp"

namespace tovali {

namespace {

constexpr std::uint8_t helloKind = 0x01;
constexpr std::uint8_t nonceKind = 0x02;

constexpr std::size_t headerLength = 2;
constexpr std::size_t keyLength = std::tuple_size_v<PublicKeyBytes>;
constexpr std::size_t nonceLength = std::tuple_size_v<Nonce>;

constexpr std::uint8_t moveKind = 0x10;
constexpr std::uint8_t scrollKind = 0x11;
constexpr std::uint8_t buttonKind = 0x12;

constexpr std::size_t payloadOffset = 5;
// A 14-byte packet would carry a one-byte payload, which no kind takes.
constexpr std::size_t shortestPacket = 14;

template <std::size_t N>
FixedBytes<N> take(ByteView bytes) {
    FixedBytes<N> out{};
    std::copy_n(bytes.begin(), N, out.begin());
    return out;
}

std::int16_t readInt16(ByteView bytes) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8));
}

std::uint32_t readUint32(ByteView bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::optional<InputEvent> decodeEvent(std::uint8_t kind, ByteView payload) {
    switch (kind) {
    case moveKind:
    case scrollKind: {
        if (payload.size() != 4)
            return std::nullopt;
        std::int16_t dx = readInt16(payload.subspan(0, 2));
        std::int16_t dy = readInt16(payload.subspan(2, 2));
        if (kind == moveKind)
            return MoveInput{dx, dy};
        return ScrollInput{dx, dy};
    }
    case buttonKind: {
        if (payload.size() != 2)
            return std::nullopt;
        auto button = mouseButtonFromRaw(payload[0]);
        auto action = buttonActionFromRaw(payload[1]);
        if (!button || !action)
            return std::nullopt;
        return ButtonInput{*button, *action};
    }
    default:
        return std::nullopt;
    }
}

} // namespace

Expected<Request, ProtocolError> parseRequest(ByteView bytes) {
    if (bytes.size() < headerLength || bytes[0] != protocolVersion)
        return ProtocolError::malformed;
    ByteView payload = bytes.subspan(headerLength);
    switch (bytes[1]) {
    case nonceKind:
        if (payload.size() != nonceLength)
            return ProtocolError::malformed;
        return Request{NonceRequest{take<nonceLength>(payload)}};
    case helloKind:
        if (payload.size() < keyLength)
            return ProtocolError::malformed;
        return Request{
            HelloRequest{take<keyLength>(payload), watchNameFromBytes(payload.subspan(keyLength))}};
    default:
        return ProtocolError::malformed;
    }
}

Bytes encodeReply(const Reply& reply) {
    auto message = [](std::uint8_t kind, std::initializer_list<ByteView> fields) {
        std::size_t length = headerLength;
        for (ByteView field : fields)
            length += field.size();
        Bytes out(length);
        out[0] = protocolVersion;
        out[1] = kind;
        auto next = out.begin() + headerLength;
        for (ByteView field : fields)
            next = std::copy(field.begin(), field.end(), next);
        return out;
    };
    struct Encoder {
        decltype(message)& encode;
        Bytes operator()(const SessionOpenReply& r) const {
            return encode(0x81, {r.computerKey, r.salt});
        }
        Bytes operator()(const PairingCommitReply& r) const {
            return encode(0x82, {r.computerKey, r.commitment});
        }
        Bytes operator()(const PairingRevealReply& r) const {
            return encode(0x83, {r.computerNonce});
        }
        Bytes operator()(const RejectedReply&) const { return encode(0x84, {}); }
        Bytes operator()(const BusyReply&) const { return encode(0x85, {}); }
    };
    return std::visit(Encoder{message}, reply);
}

std::optional<InputPacket> parseInputPacket(ByteView bytes) {
    if (bytes.size() < shortestPacket)
        return std::nullopt;
    const std::size_t authenticatedLength = bytes.size() - tagLength;
    ByteView payload = bytes.subspan(payloadOffset, authenticatedLength - payloadOffset);
    auto event = decodeEvent(bytes[0], payload);
    if (!event)
        return std::nullopt;
    // A decoded event bounds the payload, so the authenticated bytes fit inline.
    InputPacket packet{readUint32(bytes.subspan(1, 4)), *event,
                       take<tagLength>(bytes.last(tagLength))};
    std::copy_n(bytes.begin(), authenticatedLength, packet.authenticatedBytes.begin());
    packet.authenticatedLength = authenticatedLength;
    return packet;
}

} // namespace tovali
