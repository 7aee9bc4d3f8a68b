#pragma once

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "platform/keychain.hpp"

namespace tovali::test {

/// Two in-memory stores that behave like a keychain, with statuses a test can force per variant.
class ScriptedKeychain : public Keychain {
public:
    enum class Kind { copyMatching, add };

    KeychainReadResult copyMatching(const KeychainQuery& query) override;
    KeychainResult add(const KeychainQuery& query, ByteView data) override;
    Subscription whenChanged(std::function<void()> callback) override {
        changed = std::move(callback);
        return {};
    }
    void putItem(KeychainVariant variant, const std::string& service, const std::string& account,
                 Bytes data) {
        items[{variant, service, account}] = std::move(data);
    }

    std::map<std::tuple<KeychainVariant, std::string, std::string>, Bytes> items;
    /// The next calls of a kind on a variant answer these statuses and change nothing.
    std::map<std::pair<Kind, KeychainVariant>, std::deque<KeychainResult>> scripted;
    std::function<void()> changed;

private:
    std::optional<KeychainResult> next(Kind kind, const KeychainQuery& query);
};

} // namespace tovali::test
