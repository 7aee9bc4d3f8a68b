#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "checks.hpp"
#include "link/input_opener.hpp"
#include "link/key_schedule.hpp"

namespace tovali::vectors {
namespace {

std::string describe(const InputEvent& event) {
    if (const auto* move = std::get_if<MoveInput>(&event))
        return "move dx " + std::to_string(move->dx) + " dy " + std::to_string(move->dy);
    if (const auto* scroll = std::get_if<ScrollInput>(&event))
        return "scroll dx " + std::to_string(scroll->dx) + " dy " + std::to_string(scroll->dy);
    const auto& button = std::get<ButtonInput>(event);
    static constexpr const char* actions[] = {"down", "up", "click"};
    return std::string("button ") + (button.button == MouseButton::left ? "left" : "right") + " " +
           actions[static_cast<int>(button.action)];
}

/// The event a case's "parse.event" names, in our terms.
std::optional<InputEvent> expectedEvent(Unit& unit, const json& item) {
    auto type = unit.text(item, "parse.event.type");
    if (!type)
        return std::nullopt;
    if (*type == "move" || *type == "scroll") {
        auto dx = unit.integer(item, "parse.event.dx");
        auto dy = unit.integer(item, "parse.event.dy");
        if (!dx || !dy)
            return std::nullopt;
        if (*dx < INT16_MIN || *dx > INT16_MAX || *dy < INT16_MIN || *dy > INT16_MAX) {
            unit.fail("parse.event: dx or dy out of 16-bit range");
            return std::nullopt;
        }
        auto x = static_cast<std::int16_t>(*dx);
        auto y = static_cast<std::int16_t>(*dy);
        return *type == "move" ? InputEvent{MoveInput{x, y}} : InputEvent{ScrollInput{x, y}};
    }
    if (*type == "button") {
        auto button = unit.text(item, "parse.event.button");
        auto action = unit.text(item, "parse.event.action");
        if (!button || !action)
            return std::nullopt;
        auto rawIndex = [](std::string_view name, std::initializer_list<std::string_view> names) {
            auto at = std::find(names.begin(), names.end(), name);
            return static_cast<std::uint8_t>(at - names.begin());
        };
        auto b = mouseButtonFromRaw(rawIndex(*button, {"left", "right"}));
        auto a = buttonActionFromRaw(rawIndex(*action, {"down", "up", "click"}));
        if (b && a)
            return ButtonInput{*b, *a};
        unit.fail("parse.event: unknown button or action " + inQuotes(*button + " " + *action));
        return std::nullopt;
    }
    unit.fail("parse.event.type: unknown " + inQuotes(*type));
    return std::nullopt;
}

void checkParse(Unit& unit, const json& item, ByteView packet) {
    auto got = parseInputPacket(packet);
    std::string gotText =
        got ? "sequence " + std::to_string(got->sequence) + " " + describe(got->event) : "none";
    const json* expect = find(item, "parse");
    if (expect == nullptr) {
        unit.fail("parse: missing");
    } else if (expect->is_null()) {
        unit.same("parse", "none", gotText);
    } else {
        auto sequence = unit.integer(item, "parse.sequence");
        auto event = expectedEvent(unit, item);
        if (sequence && event)
            unit.same("parse", "sequence " + std::to_string(*sequence) + " " + describe(*event),
                      gotText);
    }
}

/// The opener's key as we derive it; the file's session_key stands in when we cannot.
std::optional<SymmetricKey> openerKey(Unit& unit, const json& root) {
    auto index = unit.integer(root, "input.opener_session");
    if (!index)
        return std::nullopt;
    std::string session = "sessions." + std::to_string(*index);
    auto fileKey = unit.fixed<32>(root, session + ".session_key");
    auto salt = unit.fixed<16>(root, session + ".salt");
    auto computer = unit.privateKey(root, "keys.computer.private");
    auto watchKey = unit.fixed<65>(root, "keys.watch.public");
    if (!salt || !computer || !watchKey)
        return fileKey;
    auto derived = deriveSessionKey(*computer, *watchKey, *salt);
    if (fileKey)
        unit.same(session + ".session_key", toHex(*fileKey), hexOrNone(derived));
    return derived ? derived : fileKey;
}

void checkPacket(Unit& unit, const json& item, std::optional<InputOpener>& opener) {
    auto packet = unit.hex(item, "packet");
    if (!packet)
        return;
    checkParse(unit, item, *packet);
    if (!opener) {
        unit.fail("no opener key (see input[0])");
        return;
    }
    const json* tagField = find(item, "expected_tag");
    if (tagField != nullptr && !tagField->is_null()) {
        auto expected = unit.hex(item, "expected_tag");
        if (expected && packet->size() < tagLength) {
            unit.fail("expected_tag: the packet is shorter than a tag");
        } else if (expected) {
            ByteView authenticated = ByteView(*packet).first(packet->size() - tagLength);
            auto tag = crypto::HmacSha256(opener->key()).tag(authenticated);
            unit.same("tag", toHex(*expected), toHex(ByteView(tag).first(tagLength)));
        }
    }
    auto accepted = unit.flag(item, "accepted");
    auto opened = openPacket(*opener, *packet);
    if (accepted)
        unit.same("accepted", *accepted ? "true" : "false", opened ? "true" : "false");
    if (opened)
        opener = opened->opener;
    if (auto last = unit.integer(item, "last_sequence"))
        unit.same("last_sequence", std::to_string(*last), std::to_string(opener->lastSequence()));
}

} // namespace

void checkInput(Tally& tally, const json& root) {
    if (find(root, "input") == nullptr)
        return;
    std::optional<InputOpener> opener;
    tally.run("input", 0, "opener key", [&](Unit& unit) {
        if (auto key = openerKey(unit, root))
            opener.emplace(*key);
    });
    forEachCase(tally, root, "input.packets",
                [&](Unit& unit, const json& item) { checkPacket(unit, item, opener); });
}

} // namespace tovali::vectors
