#include <gtest/gtest.h>

#include "server/mac_key_storage.hpp"
#include "support/memory_defaults.hpp"
#include "support/scripted_keychain.hpp"

namespace tovali {
namespace {

using test::CapturedLog;
using test::ScriptedKeychain;
using Call = ScriptedKeychain::Call;

constexpr auto dataProtection = KeychainVariant::dataProtection;
constexpr auto legacy = KeychainVariant::legacy;

class MacKeyStorageTest : public ::testing::Test {
protected:
    crypto::PrivateKey load(const std::string& account = macKeyAccount) {
        return loadOrCreateMacKey(keychain, log, account);
    }
    const Bytes* stored(KeychainVariant variant, const std::string& account = macKeyAccount) {
        return keychain.item(variant, macKeyService, account);
    }

    ScriptedKeychain keychain;
    CapturedLog log;
};

TEST(KeychainQueries, dataProtectionVariantComesFirst) {
    const auto queries = keychainQueries("someone");
    EXPECT_EQ(queries[0], (KeychainQuery{"Orvanel", "someone", dataProtection}));
    EXPECT_EQ(queries[1], (KeychainQuery{"Orvanel", "someone", legacy}));
}

TEST_F(MacKeyStorageTest, firstLaunch_addsToThePreferredStoreAndTheNextLaunchReadsTheSameKey) {
    const crypto::PrivateKey first = load();
    ASSERT_NE(stored(dataProtection), nullptr);
    EXPECT_EQ(*stored(dataProtection), toBytes(first.raw()));
    EXPECT_EQ(stored(legacy), nullptr);

    keychain.calls.clear();
    const crypto::PrivateKey second = load();
    EXPECT_EQ(second.publicKey(), first.publicKey());
    EXPECT_EQ(keychain.calls, (std::vector<Call>{{Call::Kind::copyMatching,
                                                  {"Orvanel", "mac-p256", dataProtection}}}))
        << "a key that was found is neither looked up further nor written";
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(MacKeyStorageTest, storedBytesThatAreNoKey_giveANewKeyEachLaunchAndStayUntouched) {
    for (const Bytes& bad : {Bytes(31, 7), Bytes(33, 7), Bytes(32, 0)}) {
        keychain.putItem(dataProtection, macKeyService, macKeyAccount, bad);
        const crypto::PrivateKey first = load();
        const crypto::PrivateKey second = load();
        EXPECT_NE(first.publicKey(), second.publicKey());
        EXPECT_EQ(*stored(dataProtection), bad);
        EXPECT_EQ(stored(legacy), nullptr) << "a duplicate answer must not fall back";
    }
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(MacKeyStorageTest, legacyItem_isUsedWhenThePreferredStoreHasNone) {
    const crypto::PrivateKey original = crypto::PrivateKey::generate();
    keychain.putItem(legacy, macKeyService, macKeyAccount, toBytes(original.raw()));
    keychain.scriptRead(dataProtection, {keychain_status::missingEntitlement});
    EXPECT_EQ(load().publicKey(), original.publicKey());
    EXPECT_EQ(stored(dataProtection), nullptr);
}

TEST_F(MacKeyStorageTest, itemsInBothStores_thePreferredOneWins) {
    const crypto::PrivateKey preferred = crypto::PrivateKey::generate();
    const crypto::PrivateKey older = crypto::PrivateKey::generate();
    keychain.putItem(dataProtection, macKeyService, macKeyAccount, toBytes(preferred.raw()));
    keychain.putItem(legacy, macKeyService, macKeyAccount, toBytes(older.raw()));
    EXPECT_EQ(load().publicKey(), preferred.publicKey());
}

TEST_F(MacKeyStorageTest, preferredStoreNotPermitted_fallsBackToTheFileStoreSilently) {
    keychain.scriptAdd(dataProtection, {keychain_status::missingEntitlement});
    keychain.scriptRead(dataProtection, {keychain_status::missingEntitlement});
    const crypto::PrivateKey first = load();
    ASSERT_NE(stored(legacy), nullptr);
    EXPECT_EQ(*stored(legacy), toBytes(first.raw()));
    EXPECT_EQ(load().publicKey(), first.publicKey()) << "later reads find it in the second store";
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(MacKeyStorageTest, saveFailures_logOneLineWithTheFailingStatus) {
    keychain.scriptAdd(dataProtection, {keychain_status::missingEntitlement});
    keychain.scriptAdd(legacy, {-25308});
    load();
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"Orvanel: could not save the pairing key (-25308)"}));

    log.lines.clear();
    keychain.scriptAdd(dataProtection, {-61});
    keychain.calls.clear();
    load();
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"Orvanel: could not save the pairing key (-61)"}));
    EXPECT_EQ(keychain.calls.back(),
              (Call{Call::Kind::add, {"Orvanel", "mac-p256", dataProtection}}))
        << "an error stops the save: the second store is not tried";

    log.lines.clear();
    keychain.scriptAdd(dataProtection, {keychain_status::missingEntitlement});
    keychain.scriptAdd(legacy, {keychain_status::missingEntitlement});
    keychain.scriptRead(dataProtection, {keychain_status::itemNotFound});
    keychain.scriptRead(legacy, {keychain_status::itemNotFound});
    load();
    EXPECT_TRUE(log.lines.empty()) << "refused everywhere is not logged";
}

TEST_F(MacKeyStorageTest, account_addressesItsOwnItem) {
    const crypto::PrivateKey mine = load("mac-p256");
    const crypto::PrivateKey other = load("another");
    EXPECT_NE(mine.publicKey(), other.publicKey());
    EXPECT_NE(stored(dataProtection, "another"), nullptr);
    EXPECT_EQ(load("mac-p256").publicKey(), mine.publicKey());
}

} // namespace
} // namespace tovali
