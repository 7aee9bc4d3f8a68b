#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "common/bytes.hpp"
#include "link/crypto.hpp"
#include "link/input_opener.hpp"
#include "link/wire_messages.hpp"

namespace {

void check(bool holds) {
    if (!holds)
        __builtin_trap();
}

// The seed corpus is tagged with this key too (fuzz/make_corpus).
constexpr tovali::SymmetricKey key = [] {
    tovali::SymmetricKey k{};
    for (std::size_t i = 0; i < k.size(); ++i)
        k[i] = static_cast<std::uint8_t>(i);
    return k;
}();

// Longer bodies are all malformed; the cap keeps inputs cheap.
constexpr std::size_t maxBody = 32;

const tovali::crypto::HmacSha256& hmac() {
    static const tovali::crypto::HmacSha256 instance(key);
    return instance;
}

tovali::Bytes tagged(tovali::ByteView body) {
    const auto digest = hmac().tag(body);

    // The keyed-once HMAC must agree with OpenSSL's own on every message.
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> reference{};
    unsigned int length = 0;
    check(HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), body.data(), body.size(),
               reference.data(), &length) != nullptr);
    check(length == digest.size() && std::equal(digest.begin(), digest.end(), reference.begin()));

    tovali::Bytes packet(body.begin(), body.end());
    packet.insert(packet.end(), digest.begin(), digest.begin() + tovali::tagLength);
    return packet;
}

tovali::Bytes withSequence(tovali::ByteView body, std::uint32_t sequence) {
    tovali::Bytes copy(body.begin(), body.end());
    for (std::size_t i = 0; i < 4; ++i)
        copy[1 + i] = static_cast<std::uint8_t>(sequence >> (8 * i));
    return tagged(copy);
}

// Whatever the bytes, an accepted packet is exactly the parsed one, advanced to.
void checkRaw(const tovali::InputOpener& opener, tovali::ByteView bytes) {
    const auto opened = tovali::openPacket(opener, bytes);
    if (!opened)
        return;
    const auto parsed = tovali::parseInputPacket(bytes);
    check(parsed.has_value());
    check(parsed->sequence > opener.lastSequence());
    check(opened->opener.lastSequence() == parsed->sequence);
    check(opened->opener.key() == opener.key());
    check(opened->event == parsed->event);
}

// Builds a correctly tagged packet from the input so that the accept path is reached.
void checkTagged(const tovali::InputOpener& fresh, tovali::ByteView input) {
    const auto body = input.first(std::min(input.size(), maxBody));
    const auto packet = tagged(body);
    const auto parsed = tovali::parseInputPacket(packet);
    const auto opened = tovali::openPacket(fresh, packet);
    check(opened.has_value() == (parsed.has_value() && parsed->sequence > 0));
    if (!opened)
        return;
    check(opened->opener.lastSequence() == parsed->sequence);
    check(opened->event == parsed->event);

    const auto& advanced = opened->opener;
    check(!tovali::openPacket(advanced, packet)); // a replay

    auto forged = packet;
    forged.back() ^= 0x01;
    check(!tovali::openPacket(fresh, forged));

    const std::uint32_t sequence = parsed->sequence;
    check(!tovali::openPacket(advanced, withSequence(body, sequence - 1)));
    if (sequence < std::numeric_limits<std::uint32_t>::max()) {
        const auto next = tovali::openPacket(advanced, withSequence(body, sequence + 1));
        check(next && next->opener.lastSequence() == sequence + 1);
    } else {
        check(!tovali::openPacket(advanced, withSequence(body, 1)));
    }

    tovali::SymmetricKey otherKey = key;
    otherKey[0] ^= 0x80;
    check(!tovali::openPacket(tovali::InputOpener(otherKey), packet));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tovali::ByteView bytes(data, size);
    const tovali::InputOpener fresh(key);
    checkRaw(fresh, bytes);
    checkTagged(fresh, bytes);
    return 0;
}
