#include "support/scripted_keychain.hpp"

namespace tovali::test {

namespace {

bool takeScripted(std::deque<KeychainResult>& script, KeychainResult& status) {
    if (script.empty()) {
        return false;
    }
    status = script.front();
    script.pop_front();
    return true;
}

} // namespace

std::map<ScriptedKeychain::Key, Bytes>& ScriptedKeychain::store(KeychainVariant variant) {
    return variant == KeychainVariant::dataProtection ? dataProtection_ : legacy_;
}

KeychainReadResult ScriptedKeychain::copyMatching(const KeychainQuery& query) {
    calls.push_back({Call::Kind::copyMatching, query});
    KeychainResult status = KeychainResult::success;
    if (takeScripted(scriptedReads_[query.variant], status)) {
        return {status, std::nullopt};
    }
    const auto& items = store(query.variant);
    const auto found = items.find({query.service, query.account});
    if (found == items.end()) {
        return {KeychainResult::itemNotFound, std::nullopt};
    }
    return {KeychainResult::success, found->second};
}

KeychainResult ScriptedKeychain::add(const KeychainQuery& query, ByteView data) {
    calls.push_back({Call::Kind::add, query});
    KeychainResult status = KeychainResult::success;
    if (takeScripted(scriptedAdds_[query.variant], status)) {
        return status;
    }
    const bool added = store(query.variant)
                           .try_emplace({query.service, query.account}, data.begin(), data.end())
                           .second;
    return added ? KeychainResult::success : KeychainResult::duplicateItem;
}

const Bytes* ScriptedKeychain::item(KeychainVariant variant, const std::string& service,
                                    const std::string& account) const {
    const auto& items = variant == KeychainVariant::dataProtection ? dataProtection_ : legacy_;
    const auto found = items.find({service, account});
    return found == items.end() ? nullptr : &found->second;
}

void ScriptedKeychain::putItem(KeychainVariant variant, const std::string& service,
                               const std::string& account, Bytes data) {
    store(variant)[{service, account}] = std::move(data);
}

void ScriptedKeychain::scriptAdd(KeychainVariant variant, std::vector<KeychainResult> statuses) {
    scriptedAdds_[variant].assign(statuses.begin(), statuses.end());
}

void ScriptedKeychain::scriptRead(KeychainVariant variant, std::vector<KeychainResult> statuses) {
    scriptedReads_[variant].assign(statuses.begin(), statuses.end());
}

} // namespace tovali::test
