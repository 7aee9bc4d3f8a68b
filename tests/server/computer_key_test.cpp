#include <gtest/gtest.h>

#include "server/computer_key.hpp"
#include "support/memory_defaults.hpp"
#include "support/scripted_keychain.hpp"

namespace tovali {
namespace {

using test::CapturedLog;
using test::ScriptedKeychain;
using Call = ScriptedKeychain::Call;

constexpr auto dataProtection = KeychainVariant::dataProtection;
constexpr auto legacy = KeychainVariant::legacy;

class ComputerKeyTest : public ::testing::Test {
protected:
    crypto::PrivateKey load(const std::string& account = computerKeyAccount) {
        return loadOrCreateComputerKey(keychain, log, account);
    }
    const Bytes* stored(KeychainVariant variant, const std::string& account = computerKeyAccount) {
        return keychain.item(variant, computerKeyService, account);
    }

    ScriptedKeychain keychain;
    CapturedLog log;
};

TEST_F(ComputerKeyTest, firstLaunch_addsToThePreferredStoreAndTheNextLaunchReadsTheSameKey) {
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

TEST_F(ComputerKeyTest, storedBytesThatAreNoKey_giveANewKeyEachLaunchAndStayUntouched) {
    for (const Bytes& bad : {Bytes(31, 7), Bytes(33, 7), Bytes(32, 0)}) {
        keychain.putItem(dataProtection, computerKeyService, computerKeyAccount, bad);
        const crypto::PrivateKey first = load();
        const crypto::PrivateKey second = load();
        EXPECT_NE(first.publicKey(), second.publicKey());
        EXPECT_EQ(*stored(dataProtection), bad);
        EXPECT_EQ(stored(legacy), nullptr) << "a duplicate answer must not fall back";
    }
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(ComputerKeyTest, legacyItem_isUsedWhenThePreferredStoreHasNone) {
    const crypto::PrivateKey original = crypto::PrivateKey::generate();
    keychain.putItem(legacy, computerKeyService, computerKeyAccount, toBytes(original.raw()));
    keychain.scriptRead(dataProtection, {KeychainResult::unavailable});
    EXPECT_EQ(load().publicKey(), original.publicKey());
    EXPECT_EQ(stored(dataProtection), nullptr);
}

TEST_F(ComputerKeyTest, preferredStoreNotPermitted_fallsBackToTheFileStoreSilently) {
    keychain.scriptAdd(dataProtection, {KeychainResult::unavailable});
    keychain.scriptRead(dataProtection, {KeychainResult::unavailable});
    const crypto::PrivateKey first = load();
    ASSERT_NE(stored(legacy), nullptr);
    EXPECT_EQ(*stored(legacy), toBytes(first.raw()));
    EXPECT_EQ(load().publicKey(), first.publicKey()) << "later reads find it in the second store";
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(ComputerKeyTest, saveFailures_logOneLineWithTheFailingStatus) {
    keychain.scriptAdd(dataProtection, {KeychainResult::unavailable});
    keychain.scriptAdd(legacy, {KeychainResult::locked});
    load();
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"Orvanel: could not save the pairing key (-25308)"}));

    log.lines.clear();
    keychain.scriptAdd(dataProtection, {KeychainResult::failed});
    keychain.calls.clear();
    load();
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"Orvanel: could not save the pairing key (-26276)"}));
    EXPECT_EQ(keychain.calls.back(),
              (Call{Call::Kind::add, {"Orvanel", "mac-p256", dataProtection}}))
        << "an error stops the save: the second store is not tried";

    log.lines.clear();
    keychain.scriptAdd(dataProtection, {KeychainResult::unavailable});
    keychain.scriptAdd(legacy, {KeychainResult::unavailable});
    keychain.scriptRead(dataProtection, {KeychainResult::itemNotFound});
    keychain.scriptRead(legacy, {KeychainResult::itemNotFound});
    load();
    EXPECT_TRUE(log.lines.empty()) << "refused everywhere is not logged";
}

} // namespace
} // namespace tovali
