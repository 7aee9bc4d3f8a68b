#include <algorithm>
#include <optional>
#include <string>
#include <variant>

#include "checks.hpp"
#include "link/key_schedule.hpp"
#include "link/watch_name.hpp"

namespace tovali::vectors {
namespace {

// Hello requests carry the name after the version, kind and 65-byte key.
constexpr std::size_t helloNameOffset = 67;

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

} // namespace

std::string describe(const Request& request) {
    if (const auto* hello = std::get_if<HelloRequest>(&request))
        return "hello key " + toHex(hello->key) + " name " + toHex(asBytes(hello->name));
    return "nonce " + toHex(std::get<NonceRequest>(request).nonce);
}

std::string describe(const Expected<Request, ProtocolError>& parsed) {
    return parsed ? describe(*parsed) : "malformed";
}

void checkRequests(Tally& tally, const json& root) {
    forEachCase(tally, root, "request_cases", checkRequestCase);
}

void checkReplies(Tally& tally, const json& root) {
    forEachCase(tally, root, "reply_cases", [](Unit& unit, const json& item) {
        auto expected = unit.hex(item, "hex");
        auto reply = replyFrom(unit, item);
        if (expected && reply)
            unit.same("encoding", toHex(*expected), toHex(encodeReply(*reply)));
    });
}

void checkCodes(Tally& tally, const json& root) {
    forEachCase(tally, root, "code_cases", [](Unit& unit, const json& item) {
        auto prefix = unit.fixed<8>(item, "digest_prefix");
        auto code = unit.text(item, "code");
        if (!prefix || !code)
            return;
        Digest digest{};
        std::copy(prefix->begin(), prefix->end(), digest.begin());
        unit.same("code", inQuotes(*code), inQuotes(confirmationCodeFromDigest(digest)));
    });
}

void checkReplyReady(Tally& tally, const json& root) {
    if (find(root, "reply_ready") != nullptr)
        tally.run("reply_ready", 0, "", [&](Unit& unit) {
            if (auto value = unit.hex(root, "reply_ready"))
                unit.same("reply_ready", toHex(*value), toHex(Bytes{replyReady}));
        });
}

} // namespace tovali::vectors
