#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.hpp"
#include "common/input_event.hpp"
#include "link/crypto.hpp"

namespace tovali {

class InputOpener;
struct OpenedPacket;

/// The packet's event and the advanced opener, or none when the packet is malformed,
/// not newer than the last accepted one, or wrongly tagged.
std::optional<OpenedPacket> openPacket(const InputOpener& opener, ByteView packet);

/// True when both have the same length and bytes; the time depends on the length only.
bool constantTimeEqual(ByteView a, ByteView b);

/// A session's packet authenticator: accepts packets with a good tag and a sequence
/// number above the last one accepted.
class InputOpener {
public:
    explicit InputOpener(const SymmetricKey& key) : key_(key), hmac_(key) {}

    const SymmetricKey& key() const { return key_; }
    std::uint32_t lastSequence() const { return lastSequence_; }

private:
    friend std::optional<OpenedPacket> openPacket(const InputOpener&, ByteView);

    SymmetricKey key_;
    crypto::HmacSha256 hmac_; // keyed once with key_, so a packet costs no key set-up
    std::uint32_t lastSequence_ = 0;
};

struct OpenedPacket {
    InputEvent event;
    InputOpener opener; // advanced to the packet's sequence number
};

} // namespace tovali
