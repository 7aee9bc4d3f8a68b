#include "support/scripted_keychain.hpp"

namespace tovali::test {

std::optional<KeychainResult> ScriptedKeychain::next(Kind kind, const KeychainQuery& query) {
    auto& script = scripted[{kind, query.variant}];
    if (script.empty())
        return std::nullopt;
    const KeychainResult status = script.front();
    script.pop_front();
    return status;
}

KeychainReadResult ScriptedKeychain::copyMatching(const KeychainQuery& query) {
    if (const auto status = next(Kind::copyMatching, query))
        return {*status, std::nullopt};
    const auto found = items.find({query.variant, query.service, query.account});
    return found == items.end() ? KeychainReadResult{KeychainResult::itemNotFound, std::nullopt}
                                : KeychainReadResult{KeychainResult::success, found->second};
}

KeychainResult ScriptedKeychain::add(const KeychainQuery& query, ByteView data) {
    if (const auto status = next(Kind::add, query))
        return *status;
    const bool added =
        items.try_emplace({query.variant, query.service, query.account}, data.begin(), data.end())
            .second;
    return added ? KeychainResult::success : KeychainResult::duplicateItem;
}

} // namespace tovali::test
