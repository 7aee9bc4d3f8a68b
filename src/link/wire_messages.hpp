#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "common/bytes.hpp"
#include "common/expected.hpp"
#include "common/input_event.hpp"
#include "common/uuid.hpp"

namespace tovali {

inline constexpr std::uint8_t protocolVersion = 0x02;

/// The GATT service a watch looks for, and its four characteristics.
namespace gatt {
inline constexpr Uuid service{{0xDD, 0x68, 0xEE, 0x22, 0x80, 0xDE, 0x40, 0x5E, 0x90, 0x88, 0x15,
                               0xE6, 0x61, 0xCF, 0x85, 0xED}};
inline constexpr Uuid request{{0xDD, 0x68, 0xEE, 0x23, 0x80, 0xDE, 0x40, 0x5E, 0x90, 0x88, 0x15,
                               0xE6, 0x61, 0xCF, 0x85, 0xED}};
inline constexpr Uuid reply{{0xDD, 0x68, 0xEE, 0x24, 0x80, 0xDE, 0x40, 0x5E, 0x90, 0x88, 0x15, 0xE6,
                             0x61, 0xCF, 0x85, 0xED}};
inline constexpr Uuid signal{{0xDD, 0x68, 0xEE, 0x25, 0x80, 0xDE, 0x40, 0x5E, 0x90, 0x88, 0x15,
                              0xE6, 0x61, 0xCF, 0x85, 0xED}};
inline constexpr Uuid input{{0xDD, 0x68, 0xEE, 0x26, 0x80, 0xDE, 0x40, 0x5E, 0x90, 0x88, 0x15, 0xE6,
                             0x61, 0xCF, 0x85, 0xED}};
} // namespace gatt

// Requests, watch to computer.

struct HelloRequest {
    PublicKeyBytes key{}; // as received, not yet checked as a point
    std::string name;     // UTF-8, at most 40 extended grapheme clusters
    friend bool operator==(const HelloRequest&, const HelloRequest&) = default;
};

struct NonceRequest {
    Nonce nonce{};
    friend bool operator==(const NonceRequest&, const NonceRequest&) = default;
};

using Request = std::variant<HelloRequest, NonceRequest>;

enum class ProtocolError { malformed };

/// The request in a joined write batch, or `malformed` for any shape error.
Expected<Request, ProtocolError> parseRequest(ByteView bytes);

// Replies, computer to watch.

struct SessionOpenReply {
    PublicKeyBytes computerKey{};
    Nonce salt{};
    friend bool operator==(const SessionOpenReply&, const SessionOpenReply&) = default;
};

struct PairingCommitReply {
    PublicKeyBytes computerKey{};
    Digest commitment{};
    friend bool operator==(const PairingCommitReply&, const PairingCommitReply&) = default;
};

struct PairingRevealReply {
    Nonce computerNonce{};
    friend bool operator==(const PairingRevealReply&, const PairingRevealReply&) = default;
};

struct RejectedReply {
    friend bool operator==(const RejectedReply&, const RejectedReply&) = default;
};

struct BusyReply {
    friend bool operator==(const BusyReply&, const BusyReply&) = default;
};

using Reply = std::variant<SessionOpenReply, PairingCommitReply, PairingRevealReply, RejectedReply,
                           BusyReply>;

Bytes encodeReply(const Reply& reply);

/// The one value ever notified on the signal characteristic: a new reply waits to be read.
inline constexpr std::uint8_t replyReady = 0x01;

// Input packets, watch to computer.

inline constexpr std::size_t tagLength = 8;

/// The longest authenticated part of any packet kind: kind, sequence and a 4-byte payload.
inline constexpr std::size_t maxAuthenticatedLength = 9;

/// A well-formed input packet whose tag and sequence number are not yet checked.
/// Holds its bytes inline: a plain value, no allocation per packet.
struct InputPacket {
    std::uint32_t sequence = 0;
    InputEvent event;
    FixedBytes<tagLength> tag{};

    /// Bytes 0 to n-9 of the packet, as received.
    ByteView authenticated() const {
        return ByteView(authenticatedBytes).first(authenticatedLength);
    }

    FixedBytes<maxAuthenticatedLength> authenticatedBytes{};
    std::size_t authenticatedLength = 0;
};

std::optional<InputPacket> parseInputPacket(ByteView bytes);

} // namespace tovali
