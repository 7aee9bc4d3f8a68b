#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

using test::KeyringDaemon;
using test::SessionBus;

// Between tests the process points at nothing, so that no call can reach the desktop's bus.
constexpr const char* nowhere = "unix:path=/nonexistent/tovali-no-bus";

void useBus(const std::string& address) {
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
}

KeychainQuery query(std::string account, std::string service = "app.tovali.test") {
    return {std::move(service), std::move(account)};
}

Bytes randomBytes(std::size_t count) {
    std::random_device random;
    Bytes bytes(count);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    return bytes;
}

class SecretServiceKeychainTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(keyring_.running()) << keyring_.error();
        useBus(bus_.address());
    }
    void TearDown() override { useBus(nowhere); }

    SessionBus bus_;
    KeyringDaemon keyring_{bus_};
    SecretServiceKeychain keychain_;
};

TEST_F(SecretServiceKeychainTest,
       add_thenCopyMatching_returnsTheBytesKeptApartByServiceAndAccount) {
    const std::pair<std::string, Bytes> items[] = {
        {"zero bytes", {0x00, 0x00, 0x01, 0x00, 0xff, 0x00}},
        {"random", randomBytes(32)},
        {"empty", {}},
    };
    for (const auto& [account, data] : items) {
        ASSERT_EQ(keychain_.add(query(account), data), KeychainResult::success) << account;
        EXPECT_EQ(keychain_.copyMatching(query(account)).data, data) << account;
    }
    for (const auto& absent : {query("random", "other service"), query("other account")}) {
        auto read = keychain_.copyMatching(absent);
        EXPECT_EQ(read.status, KeychainResult::itemNotFound);
        EXPECT_FALSE(read.data);
    }
    // The variant does not tell items apart.
    auto legacy = query("random");
    legacy.variant = KeychainVariant::legacy;
    EXPECT_EQ(keychain_.add(legacy, asBytes("other")), KeychainResult::duplicateItem);
    EXPECT_EQ(keychain_.copyMatching(legacy).data, items[1].second);

    for (const auto& bad : {query("\xff\xfe"), query(std::string("a\0b", 3))}) {
        EXPECT_EQ(keychain_.copyMatching(bad).status, KeychainResult::failed);
        EXPECT_EQ(keychain_.add(bad, asBytes("x")), KeychainResult::failed);
    }
}

TEST_F(SecretServiceKeychainTest, bothCalls_lockedCollection_returnLocked) {
    ASSERT_EQ(keychain_.add(query("stored"), asBytes("s")), KeychainResult::success);
    auto locked = keyring_.lockDefaultCollection();
    ASSERT_FALSE(locked) << *locked;

    auto read = keychain_.copyMatching(query("stored"));
    EXPECT_EQ(read.status, KeychainResult::locked);
    EXPECT_FALSE(read.data);
    EXPECT_EQ(keychain_.add(query("new"), asBytes("n")), KeychainResult::locked);
}

// The file that stands in when no Secret Service answers must not take the key from one.
TEST_F(SecretServiceKeychainTest, computerKey_withASecretService_livesThereNotInTheFile) {
    test::TemporaryFolder home("tovali-computer-key");
    FileKeychain files(home.path() + "/tovali");
    KeychainByVariant keychain(keychain_, files);
    test::CapturedLog log;
    const crypto::PrivateKey first = loadOrCreateComputerKey(keychain, log, computerKeyAccount);
    EXPECT_EQ(keychain_.copyMatching({computerKeyService, computerKeyAccount}).data,
              toBytes(first.raw()));
    EXPECT_FALSE(std::filesystem::exists(files.folder()));
    EXPECT_EQ(loadOrCreateComputerKey(keychain, log, computerKeyAccount).publicKey(),
              first.publicKey());
    EXPECT_TRUE(log.lines.empty());
}

TEST(SecretServiceKeychainUnavailableTest, bothCalls_noSecretService_unavailableUntilOneStarts) {
    // A socket file that nobody listens on.
    test::TemporaryFolder folder("tovali-dead-bus");
    ASSERT_FALSE(folder.path().empty());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folder.path() + "/socket";
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
    SessionBus bus;
    ASSERT_TRUE(bus.running()) << bus.error();

    SecretServiceKeychain keychain;
    for (const std::string& where : {"unix:path=" + path, bus.address()}) {
        useBus(where);
        auto read = keychain.copyMatching(query("key"));
        EXPECT_EQ(read.status, KeychainResult::unavailable) << where;
        EXPECT_FALSE(read.data);
        EXPECT_EQ(keychain.add(query("key"), asBytes("x")), KeychainResult::unavailable) << where;
    }

    KeyringDaemon keyring(bus);
    ASSERT_TRUE(keyring.running()) << keyring.error();
    EXPECT_EQ(keychain.add(query("key"), asBytes("k")), KeychainResult::success);
    EXPECT_EQ(keychain.copyMatching(query("key")).data, toBytes(asBytes("k")));
    useBus(nowhere);
}

} // namespace
} // namespace tovali
