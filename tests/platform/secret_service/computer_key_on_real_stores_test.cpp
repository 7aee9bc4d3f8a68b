// The computer's key kept in the real stores: the Secret Service first, the private file when
// no Secret Service answers.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/files/file_keychain.hpp"
#include "platform/keychain_by_variant.hpp"
#include "platform/secret_service/secret_service_keychain.hpp"
#include "server/computer_key.hpp"
#include "support/keyring_daemon.hpp"
#include "support/memory_defaults.hpp"
#include "support/session_bus.hpp"

namespace tovali {
namespace {

constexpr const char* nowhere = "unix:path=/nonexistent/tovali-no-bus";

int modeOf(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

class ComputerKeyOnRealStoresTest : public testing::Test {
protected:
    void SetUp() override {
        setenv("DBUS_SESSION_BUS_ADDRESS", nowhere, 1);
        ASSERT_TRUE(bus.running()) << bus.error();
    }
    void TearDown() override { setenv("DBUS_SESSION_BUS_ADDRESS", nowhere, 1); }

    crypto::PrivateKey load() { return loadOrCreateComputerKey(keychain, log, computerKeyAccount); }

    test::TemporaryFolder home{"tovali-computer-key"};
    std::string folder = home.path() + "/tovali";
    test::SessionBus bus;
    SecretServiceKeychain secretService;
    FileKeychain files{folder};
    KeychainByVariant keychain{secretService, files};
    test::CapturedLog log;
};

TEST_F(ComputerKeyOnRealStoresTest, withASecretService_theKeyLivesThereAndIsReadBack) {
    test::KeyringDaemon keyring(bus);
    ASSERT_TRUE(keyring.running()) << keyring.error();
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    const crypto::PrivateKey first = load();
    const KeychainReadResult stored = secretService.copyMatching(
        {computerKeyService, computerKeyAccount, KeychainVariant::dataProtection});
    ASSERT_EQ(stored.status, KeychainResult::success);
    EXPECT_EQ(*stored.data, toBytes(first.raw()));
    EXPECT_FALSE(std::filesystem::exists(folder)) << "nothing falls back to the file";

    EXPECT_EQ(load().publicKey(), first.publicKey());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(ComputerKeyOnRealStoresTest, withoutASecretService_fallsBackToAPrivateFileSilently) {
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);

    const crypto::PrivateKey first = load();
    const std::string file =
        folder + "/" + FileKeychain::fileName({computerKeyService, computerKeyAccount});
    EXPECT_EQ(modeOf(folder), 0700);
    EXPECT_EQ(modeOf(file), 0600);
    EXPECT_EQ(std::filesystem::file_size(file), 32U);

    EXPECT_EQ(load().publicKey(), first.publicKey());
    EXPECT_TRUE(log.lines.empty());
}

} // namespace
} // namespace tovali
