// tovali-link-vectors FILE...: runs link protocol vector files against our implementation.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/bytes.hpp"
#include "common/expected.hpp"
#include "link/crypto.hpp"
#include "link/input_opener.hpp"
#include "link/key_schedule.hpp"
#include "link/watch_name.hpp"
#include "link/wire_messages.hpp"

namespace tovali {
namespace {

using nlohmann::json;

// Hello requests carry the name after the version, kind and 65-byte key.
constexpr std::size_t helloNameOffset = 67;

/// The node at a dotted path ("keys.watch.public", "sessions.0.salt"), or null.
const json* find(const json& node, std::string_view path) {
    const json* at = &node;
    while (at != nullptr && !path.empty()) {
        auto dot = path.find('.');
        std::string name(path.substr(0, dot));
        path = dot == std::string_view::npos ? std::string_view{} : path.substr(dot + 1);
        if (at->is_object()) {
            auto it = at->find(name);
            at = it == at->end() ? nullptr : &*it;
        } else if (at->is_array() && !name.empty() &&
                   name.find_first_not_of("0123456789") == std::string::npos && name.size() < 10) {
            auto index = std::stoul(name);
            at = index < at->size() ? &(*at)[index] : nullptr;
        } else {
            at = nullptr;
        }
    }
    return at;
}

std::string inQuotes(std::string_view text) {
    std::string out(1, '"');
    out.append(text);
    out.push_back('"');
    return out;
}

template <std::size_t N>
std::string hexOrNone(const std::optional<FixedBytes<N>>& bytes) {
    return bytes ? toHex(*bytes) : "none";
}

/// One pass/fail unit. Its readers turn a missing or mistyped field into a recorded
/// problem and give none, so a bad case fails rather than stopping the run.
class Unit {
public:
    void fail(std::string problem) { problems_.push_back(std::move(problem)); }

    void same(std::string_view what, const std::string& expected, const std::string& got) {
        if (expected != got)
            fail(std::string(what) + ": expected " + expected + ", got " + got);
    }

    std::optional<std::string> text(const json& node, std::string_view path) {
        const json* at = field(node, path, &json::is_string, "a string");
        return at ? std::optional(at->get<std::string>()) : std::nullopt;
    }

    std::optional<bool> flag(const json& node, std::string_view path) {
        const json* at = field(node, path, &json::is_boolean, "true or false");
        return at ? std::optional(at->get<bool>()) : std::nullopt;
    }

    std::optional<std::int64_t> integer(const json& node, std::string_view path) {
        const json* at = field(node, path, &json::is_number_integer, "an integer");
        return at ? std::optional(at->get<std::int64_t>()) : std::nullopt;
    }

    std::optional<Bytes> hex(const json& node, std::string_view path) {
        auto digits = text(node, path);
        if (!digits)
            return std::nullopt;
        auto bytes = fromHex(*digits);
        if (!bytes)
            fail(std::string(path) + ": not hex");
        return bytes;
    }

    template <std::size_t N>
    std::optional<FixedBytes<N>> fixed(const json& node, std::string_view path) {
        auto bytes = hex(node, path);
        if (!bytes)
            return std::nullopt;
        auto out = fixedBytes<N>(*bytes);
        if (!out)
            fail(std::string(path) + ": " + std::to_string(bytes->size()) + " bytes, expected " +
                 std::to_string(N));
        return out;
    }

    std::optional<crypto::PrivateKey> privateKey(const json& node, std::string_view path) {
        auto raw = hex(node, path);
        if (!raw)
            return std::nullopt;
        auto key = crypto::PrivateKey::fromRaw(*raw);
        if (!key)
            fail(std::string(path) + ": rejected by PrivateKey::fromRaw");
        return key;
    }

    bool passed() const { return problems_.empty(); }

    std::string problems() const {
        std::string out;
        for (const auto& problem : problems_)
            out += (out.empty() ? "" : "; ") + problem;
        return out;
    }

private:
    const json* field(const json& node, std::string_view path, bool (json::*isType)() const,
                      std::string_view want) {
        const json* at = find(node, path);
        if (at == nullptr)
            fail(std::string(path) + ": missing");
        else if (!(at->*isType)())
            fail(std::string(path) + ": not " + std::string(want));
        else
            return at;
        return nullptr;
    }

    std::vector<std::string> problems_;
};

class Tally {
public:
    void run(std::string_view section, std::size_t index, std::string_view note,
             const std::function<void(Unit&)>& check) {
        Unit unit;
        try {
            check(unit);
        } catch (const std::exception& e) {
            // Our functions do not throw; json and the standard library might.
            unit.fail(std::string("error: ") + e.what());
        }
        if (unit.passed()) {
            ++passed_;
            return;
        }
        ++failed_;
        std::cout << "FAIL " << section << '[' << index << ']' << (note.empty() ? "" : " ") << note
                  << ": " << unit.problems() << '\n';
    }

    void fail(std::string_view what, std::string_view problem) {
        ++failed_;
        std::cout << "FAIL " << what << ": " << problem << '\n';
    }

    void countFailure() { ++failed_; }
    std::size_t passed() const { return passed_; }
    std::size_t failed() const { return failed_; }

private:
    std::size_t passed_ = 0;
    std::size_t failed_ = 0;
};

/// Runs check on each element of an array section; a missing section is skipped.
void forEachCase(Tally& tally, const json& root, std::string_view section,
                 const std::function<void(Unit&, const json&)>& check) {
    const json* cases = find(root, section);
    if (cases == nullptr)
        return;
    if (!cases->is_array()) {
        tally.fail(section, "not an array");
        return;
    }
    for (std::size_t i = 0; i < cases->size(); ++i) {
        const json& item = (*cases)[i];
        const json* note = find(item, "note");
        std::string noteText = note != nullptr && note->is_string() ? note->get<std::string>() : "";
        tally.run(section, i, noteText, [&](Unit& unit) { check(unit, item); });
    }
}

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

std::string describe(const Request& request) {
    if (const auto* hello = std::get_if<HelloRequest>(&request))
        return "hello key " + toHex(hello->key) + " name " + toHex(asBytes(hello->name));
    return "nonce " + toHex(std::get<NonceRequest>(request).nonce);
}

std::string describe(const Expected<Request, ProtocolError>& parsed) {
    return parsed ? describe(*parsed) : "malformed";
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

void checkKeys(Tally& tally, const json& root) {
    if (find(root, "keys") == nullptr)
        return;
    const std::pair<std::string, std::string> sides[] = {{"computer", "watch"},
                                                         {"watch", "computer"}};
    std::size_t index = 0;
    for (const auto& [own, peer] : sides) {
        tally.run("keys", index++, own + " public key", [&](Unit& unit) {
            auto key = unit.privateKey(root, "keys." + own + ".private");
            auto expected = unit.fixed<65>(root, "keys." + own + ".public");
            if (key && expected)
                unit.same("keys." + own + ".public", toHex(*expected), toHex(key->publicKey()));
        });
    }
    tally.run("keys", index, "shared secret", [&](Unit& unit) {
        auto secret = unit.fixed<32>(root, "keys.shared_secret");
        for (const auto& [own, peer] : sides) {
            auto key = unit.privateKey(root, "keys." + own + ".private");
            auto peerBytes = unit.hex(root, "keys." + peer + ".public");
            if (!key || !peerBytes || !secret)
                continue;
            auto peerKey = crypto::PublicKey::fromX963(*peerBytes);
            if (!peerKey) {
                unit.fail("keys." + peer + ".public: rejected by PublicKey::fromX963");
                continue;
            }
            unit.same("ecdh(" + own + " private, " + peer + " public)", toHex(*secret),
                      hexOrNone(crypto::ecdh(*key, *peerKey)));
        }
    });
}

void checkPairing(Tally& tally, const json& root) {
    if (find(root, "pairing") == nullptr)
        return;
    // K, P, W, M: each check reads the ones it needs, so a missing one fails only those.
    auto watchKey = [&](Unit& unit) { return unit.fixed<65>(root, "keys.watch.public"); };
    auto computerKey = [&](Unit& unit) { return unit.fixed<65>(root, "keys.computer.public"); };
    auto watchNonce = [&](Unit& unit) { return unit.fixed<16>(root, "pairing.watch_nonce"); };
    auto computerNonce = [&](Unit& unit) { return unit.fixed<16>(root, "pairing.computer_nonce"); };
    // K, P, W and M together, in the order both code functions take them.
    auto codeInputs = [&](Unit& unit) {
        auto k = watchKey(unit);
        auto p = computerKey(unit);
        auto w = watchNonce(unit);
        auto m = computerNonce(unit);
        return k && p && w && m ? std::optional(std::tuple(*k, *p, *w, *m)) : std::nullopt;
    };

    const std::pair<const char*, std::function<void(Unit&)>> checks[] = {
        {"hello",
         [&](Unit& unit) {
             auto hello = unit.hex(root, "pairing.hello");
             auto key = watchKey(unit);
             auto name = unit.text(root, "pairing.watch_name");
             if (hello && key && name)
                 unit.same("hello", describe(HelloRequest{*key, *name}),
                           describe(parseRequest(*hello)));
         }},
        {"commitment",
         [&](Unit& unit) {
             auto expected = unit.fixed<32>(root, "pairing.commitment");
             auto k = watchKey(unit);
             auto p = computerKey(unit);
             auto m = computerNonce(unit);
             if (expected && k && p && m)
                 unit.same("commitment", toHex(*expected), toHex(pairingCommitment(*k, *p, *m)));
         }},
        {"pairing_commit reply",
         [&](Unit& unit) {
             auto expected = unit.hex(root, "pairing.pairing_commit");
             auto p = computerKey(unit);
             auto commitment = unit.fixed<32>(root, "pairing.commitment");
             if (expected && p && commitment)
                 unit.same("pairing_commit", toHex(*expected),
                           toHex(encodeReply(PairingCommitReply{*p, *commitment})));
         }},
        {"nonce request",
         [&](Unit& unit) {
             auto request = unit.hex(root, "pairing.nonce_request");
             auto w = watchNonce(unit);
             if (request && w)
                 unit.same("nonce_request", describe(NonceRequest{*w}),
                           describe(parseRequest(*request)));
         }},
        {"pairing_reveal reply",
         [&](Unit& unit) {
             auto expected = unit.hex(root, "pairing.pairing_reveal");
             auto m = computerNonce(unit);
             if (expected && m)
                 unit.same("pairing_reveal", toHex(*expected),
                           toHex(encodeReply(PairingRevealReply{*m})));
         }},
        {"code digest",
         [&](Unit& unit) {
             auto expected = unit.fixed<32>(root, "pairing.code_digest");
             auto inputs = codeInputs(unit);
             if (expected && inputs)
                 unit.same("code_digest", toHex(*expected),
                           toHex(std::apply(confirmationDigest, *inputs)));
         }},
        {"code",
         [&](Unit& unit) {
             auto expected = unit.text(root, "pairing.code");
             auto inputs = codeInputs(unit);
             if (expected && inputs)
                 unit.same("code", inQuotes(*expected),
                           inQuotes(std::apply(confirmationCode, *inputs)));
         }},
    };
    std::size_t index = 0;
    for (const auto& [name, check] : checks)
        tally.run("pairing", index++, name, check);
}

void checkSessions(Tally& tally, const json& root) {
    forEachCase(tally, root, "sessions", [&](Unit& unit, const json& item) {
        auto salt = unit.fixed<16>(item, "salt");
        auto expectedKey = unit.fixed<32>(item, "session_key");
        auto expectedOpen = unit.hex(item, "session_open");
        auto computer = unit.privateKey(root, "keys.computer.private");
        auto watchKey = unit.fixed<65>(root, "keys.watch.public");
        auto computerKey = unit.fixed<65>(root, "keys.computer.public");
        if (salt && expectedKey && computer && watchKey)
            unit.same("session_key", toHex(*expectedKey),
                      hexOrNone(deriveSessionKey(*computer, *watchKey, *salt)));
        if (salt && expectedOpen && computerKey)
            unit.same("session_open", toHex(*expectedOpen),
                      toHex(encodeReply(SessionOpenReply{*computerKey, *salt})));
    });
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

void checkRequestCase(Unit& unit, const json& item) {
    auto request = unit.hex(item, "request");
    auto type = unit.text(item, "expect.type");
    if (!request || !type)
        return;
    auto parsed = parseRequest(*request);
    if (*type == "malformed") {
        unit.same("request", "malformed", describe(parsed));
    } else if (*type == "nonce") {
        if (auto nonce = unit.fixed<16>(item, "expect.nonce"))
            unit.same("request", describe(NonceRequest{*nonce}), describe(parsed));
    } else if (*type == "hello") {
        auto key = unit.fixed<65>(item, "expect.key");
        auto name = unit.hex(item, "expect.name_utf8");
        auto clusters = unit.integer(item, "expect.clusters");
        if (key && name) {
            std::string nameText(name->begin(), name->end());
            unit.same("request", describe(HelloRequest{*key, nameText}), describe(parsed));
            // The readable copy is optional, but must not contradict the bytes.
            if (find(item, "expect.name") != nullptr)
                if (auto readable = unit.text(item, "expect.name"))
                    unit.same("expect.name as UTF-8", toHex(*name), toHex(asBytes(*readable)));
        }
        if (clusters && request->size() < helloNameOffset) {
            unit.fail("expect.clusters: the request is too short to hold a name");
        } else if (clusters) {
            auto nameBytes = ByteView(*request).subspan(helloNameOffset);
            unit.same("clusters", std::to_string(*clusters),
                      std::to_string(graphemeCount(decodeUtf8Lossy(nameBytes))));
        }
    } else {
        unit.fail("expect.type: unknown " + inQuotes(*type));
    }
}

std::optional<Reply> replyFrom(Unit& unit, const json& item) {
    auto type = unit.text(item, "reply.type");
    if (!type)
        return std::nullopt;
    if (*type == "sessionOpen") {
        auto key = unit.fixed<65>(item, "reply.key");
        auto salt = unit.fixed<16>(item, "reply.salt");
        if (key && salt)
            return SessionOpenReply{*key, *salt};
    } else if (*type == "pairingCommit") {
        auto key = unit.fixed<65>(item, "reply.key");
        auto commitment = unit.fixed<32>(item, "reply.commitment");
        if (key && commitment)
            return PairingCommitReply{*key, *commitment};
    } else if (*type == "pairingReveal") {
        if (auto nonce = unit.fixed<16>(item, "reply.nonce"))
            return PairingRevealReply{*nonce};
    } else if (*type == "rejected") {
        return RejectedReply{};
    } else if (*type == "busy") {
        return BusyReply{};
    } else {
        unit.fail("reply.type: unknown " + inQuotes(*type));
    }
    return std::nullopt;
}

void checkFile(Tally& tally, const json& root) {
    checkKeys(tally, root);
    checkPairing(tally, root);
    checkSessions(tally, root);
    checkInput(tally, root);
    forEachCase(tally, root, "request_cases", checkRequestCase);
    forEachCase(tally, root, "reply_cases", [](Unit& unit, const json& item) {
        auto expected = unit.hex(item, "hex");
        auto reply = replyFrom(unit, item);
        if (expected && reply)
            unit.same("encoding", toHex(*expected), toHex(encodeReply(*reply)));
    });
    forEachCase(tally, root, "code_cases", [](Unit& unit, const json& item) {
        auto prefix = unit.fixed<8>(item, "digest_prefix");
        auto code = unit.text(item, "code");
        if (!prefix || !code)
            return;
        Digest digest{};
        std::copy(prefix->begin(), prefix->end(), digest.begin());
        unit.same("code", inQuotes(*code), inQuotes(confirmationCodeFromDigest(digest)));
    });
    forEachCase(tally, root, "watch_key_cases", [&](Unit& unit, const json& item) {
        auto key = unit.hex(item, "key");
        auto valid = unit.flag(item, "valid");
        if (!key || !valid)
            return;
        bool parsed = crypto::PublicKey::fromX963(*key).has_value();
        unit.same("valid", *valid ? "true" : "false", parsed ? "true" : "false");
        auto fixedKey = fixedBytes<65>(*key);
        if (!fixedKey)
            return; // deriveSessionKey takes 65 bytes only
        auto computer = unit.privateKey(root, "keys.computer.private");
        auto salt = unit.fixed<16>(root, "sessions.0.salt");
        auto expected = *valid ? unit.fixed<32>(item, "session_key") : std::nullopt;
        if (computer && salt && (expected || !*valid))
            unit.same("session key", hexOrNone(expected),
                      hexOrNone(deriveSessionKey(*computer, *fixedKey, *salt)));
    });
    if (find(root, "reply_ready") != nullptr)
        tally.run("reply_ready", 0, "", [&](Unit& unit) {
            if (auto value = unit.hex(root, "reply_ready"))
                unit.same("reply_ready", toHex(*value), toHex(Bytes{replyReady}));
        });
}

struct LoadError {
    std::string message;
};

Expected<json, LoadError> load(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return LoadError{std::string("cannot open: ") + std::strerror(errno)};
    try {
        json root = json::parse(in);
        if (!root.is_object())
            return LoadError{"not a JSON object"};
        // Sections may be missing, but a file with none of them is not a vector file.
        for (const char* section : {"keys", "pairing", "sessions", "input", "request_cases",
                                    "reply_cases", "code_cases", "watch_key_cases", "reply_ready"})
            if (root.contains(section))
                return root;
        return LoadError{"no vector sections"};
    } catch (const std::exception& e) {
        return LoadError{std::string("not valid JSON: ") + e.what()};
    }
}

} // namespace
} // namespace tovali

int main(int argc, char** argv) {
    using namespace tovali;
    if (argc < 2) {
        std::cerr << "usage: tovali-link-vectors FILE...\n";
        return 2;
    }
    Tally tally;
    for (int i = 1; i < argc; ++i) {
        auto root = load(argv[i]);
        if (!root) {
            // Counted as a failure so that the summary agrees with the exit status.
            std::cerr << "tovali-link-vectors: " << argv[i] << ": " << root.error().message << '\n';
            tally.countFailure();
            continue;
        }
        if (argc > 2)
            std::cout << "checking " << argv[i] << '\n';
        checkFile(tally, *root);
    }
    std::cout << tally.passed() << " passed, " << tally.failed() << " failed\n";
    return tally.failed() == 0 ? 0 : 1;
}
