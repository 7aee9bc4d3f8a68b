#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "common/bytes.hpp"
#include "common/input_event.hpp"
#include "link/watch_name.hpp"
#include "link/wire_messages.hpp"

namespace {

void check(bool holds) {
    if (!holds)
        __builtin_trap();
}

// Written apart from the decoder under test, so the two cannot share a mistake.
bool isWellFormedUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;  // overlong
            high = lead == 0xED ? 0x9F : 0xBF; // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;  // overlong
            high = lead == 0xF4 ? 0x8F : 0xBF; // above U+10FFFF
        } else {
            return false;
        }
        if (text.size() - i < length)
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(text[i + k]);
            const std::uint8_t min = k == 1 ? low : 0x80;
            const std::uint8_t max = k == 1 ? high : 0xBF;
            if (next < min || next > max)
                return false;
        }
        i += length;
    }
    return true;
}

void checkRequest(tovali::ByteView bytes) {
    const auto parsed = tovali::parseRequest(bytes);
    const bool versioned = bytes.size() >= 2 && bytes[0] == tovali::protocolVersion;
    const bool helloShape = versioned && bytes[1] == 0x01 && bytes.size() >= 67;
    const bool nonceShape = versioned && bytes[1] == 0x02 && bytes.size() == 18;
    check(parsed.hasValue() == (helloShape || nonceShape));
    if (!parsed)
        return;

    if (const auto* hello = std::get_if<tovali::HelloRequest>(&*parsed)) {
        check(helloShape);
        check(std::equal(hello->key.begin(), hello->key.end(), bytes.begin() + 2));
        check(isWellFormedUtf8(hello->name));
        check(tovali::graphemeCount(hello->name) <= tovali::maxWatchNameLength);
        // A name that needs no repair may only be cut, and only when it is too long.
        const auto nameBytes = bytes.subspan(67);
        const std::string_view raw(reinterpret_cast<const char*>(nameBytes.data()),
                                   nameBytes.size());
        if (isWellFormedUtf8(raw)) {
            check(raw.starts_with(hello->name));
            if (tovali::graphemeCount(raw) <= tovali::maxWatchNameLength)
                check(hello->name == raw);
            else
                check(tovali::graphemeCount(hello->name) == tovali::maxWatchNameLength);
        }
    } else {
        const auto& nonce = std::get<tovali::NonceRequest>(*parsed).nonce;
        check(nonceShape);
        check(std::equal(nonce.begin(), nonce.end(), bytes.begin() + 2));
    }
}

void checkInputPacket(tovali::ByteView bytes) {
    const auto packet = tovali::parseInputPacket(bytes);
    const std::size_t n = bytes.size();
    const bool motion = n == 17 && (bytes[0] == 0x10 || bytes[0] == 0x11);
    const bool button = n == 15 && bytes[0] == 0x12 && bytes[5] <= 1 && bytes[6] <= 2;
    check(packet.has_value() == (motion || button));
    if (!packet)
        return;

    const auto authenticated = packet->authenticated();
    check(authenticated.size() + tovali::tagLength == n);
    check(std::equal(authenticated.begin(), authenticated.end(), bytes.begin()));
    check(std::equal(packet->tag.begin(), packet->tag.end(), bytes.end() - tovali::tagLength));
    const std::uint32_t sequence = std::uint32_t{bytes[1]} | std::uint32_t{bytes[2]} << 8 |
                                   std::uint32_t{bytes[3]} << 16 | std::uint32_t{bytes[4]} << 24;
    check(packet->sequence == sequence);

    const auto le16 = [&](std::size_t at) {
        return static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8);
    };
    tovali::InputEvent expected;
    if (bytes[0] == 0x10)
        expected = tovali::MoveInput{le16(5), le16(7)};
    else if (bytes[0] == 0x11)
        expected = tovali::ScrollInput{le16(5), le16(7)};
    else
        expected = tovali::ButtonInput{static_cast<tovali::MouseButton>(bytes[5]),
                                       static_cast<tovali::ButtonAction>(bytes[6])};
    check(packet->event == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const tovali::ByteView bytes(data, size);
    checkRequest(bytes);
    checkInputPacket(bytes);
    return 0;
}
