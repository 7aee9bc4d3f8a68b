#include <string>
#include <tuple>
#include <utility>

#include "checks.hpp"
#include "link/key_schedule.hpp"

namespace tovali::vectors {

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

void checkWatchKeys(Tally& tally, const json& root) {
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
}

} // namespace tovali::vectors
