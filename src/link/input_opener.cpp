#include "link/input_opener.hpp"

#include "link/wire_messages.hpp"

namespace tovali {

std::optional<OpenedPacket> openPacket(const InputOpener& opener, ByteView packet) {
    auto parsed = parseInputPacket(packet);
    if (!parsed || parsed->sequence <= opener.lastSequence_)
        return std::nullopt;
    const Digest expected = opener.hmac_.tag(parsed->authenticated());
    if (!constantTimeEqual(ByteView(expected).first(tagLength), parsed->tag))
        return std::nullopt;
    OpenedPacket opened{parsed->event, opener};
    opened.opener.lastSequence_ = parsed->sequence;
    return opened;
}

bool constantTimeEqual(ByteView a, ByteView b) {
    if (a.size() != b.size())
        return false;
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
    // Keeps the compiler from turning the loop into an early-exit comparison.
    volatile std::uint8_t result = difference;
    return result == 0;
}

} // namespace tovali
