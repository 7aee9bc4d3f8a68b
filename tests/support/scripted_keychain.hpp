#pragma once

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/keychain.hpp"

namespace tovali::test {

/// Two in-memory stores that behave like a keychain, with statuses a test can force per variant.
class ScriptedKeychain : public Keychain {
public:
    struct Call {
        enum class Kind { copyMatching, add } kind;
        KeychainQuery query;
        friend bool operator==(const Call&, const Call&) = default;
    };

    KeychainReadResult copyMatching(const KeychainQuery& query) override;
    KeychainResult add(const KeychainQuery& query, ByteView data) override;

    /// The item as stored, or nothing.
    const Bytes* item(KeychainVariant variant, const std::string& service,
                      const std::string& account) const;
    void putItem(KeychainVariant variant, const std::string& service, const std::string& account,
                 Bytes data);
    /// The next calls of this kind on this variant answer these statuses and change nothing.
    void scriptAdd(KeychainVariant variant, std::vector<KeychainResult> statuses);
    void scriptRead(KeychainVariant variant, std::vector<KeychainResult> statuses);

    std::vector<Call> calls;

private:
    using Key = std::pair<std::string, std::string>;
    std::map<Key, Bytes>& store(KeychainVariant variant);

    std::map<Key, Bytes> dataProtection_;
    std::map<Key, Bytes> legacy_;
    std::map<KeychainVariant, std::deque<KeychainResult>> scriptedAdds_;
    std::map<KeychainVariant, std::deque<KeychainResult>> scriptedReads_;
};

} // namespace tovali::test
