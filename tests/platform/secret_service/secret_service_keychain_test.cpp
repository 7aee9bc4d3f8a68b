#include <cstdlib>
#include <glib.h>
#include <memory>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/secret_service/secret_service_keychain.hpp"
#include "support/keyring_daemon.hpp"
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

// Runs the probe in a process of its own; answers its output, or why it did not run.
std::string runProbe(const std::string& command, const KeychainQuery& item, ByteView data) {
    std::string hex = toHex(data);
    const char* argv[] = {TOVALI_SECRET_SERVICE_PROBE, command.c_str(), item.service.c_str(),
                          item.account.c_str(),        hex.c_str(),     nullptr};
    g_autofree char* output = nullptr;
    g_autoptr(GError) error = nullptr;
    if (!g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                      &output, nullptr, nullptr, &error))
        return std::string("cannot run the probe: ") + error->message;
    return output;
}

class SecretServiceKeychainTest : public testing::Test {
protected:
    void SetUp() override { startService(); }
    void TearDown() override { stopService(); }

    void startService() {
        useBus(nowhere);
        bus_ = std::make_unique<SessionBus>();
        ASSERT_TRUE(bus_->running()) << bus_->error();
        keyring_ = std::make_unique<KeyringDaemon>(*bus_);
        ASSERT_TRUE(keyring_->running()) << keyring_->error();
        useBus(bus_->address());
    }

    void stopService() {
        useBus(nowhere);
        keyring_.reset();
        bus_.reset();
    }

    std::unique_ptr<SessionBus> bus_;
    std::unique_ptr<KeyringDaemon> keyring_;
    SecretServiceKeychain keychain_;
};

TEST_F(SecretServiceKeychainTest, add_thenCopyMatching_returnsSameBytes) {
    struct Case {
        const char* account;
        Bytes data;
    };
    const Case cases[] = {
        {"text", toBytes(asBytes("correct horse"))},
        {"zero bytes", {0x00, 0x00, 0x01, 0x00, 0xff, 0x00}},
        {"random", randomBytes(32)},
        {"empty", {}},
    };
    for (const auto& [account, data] : cases) {
        SCOPED_TRACE(account);
        ASSERT_EQ(keychain_.add(query(account), data), KeychainResult::success);
        auto read = keychain_.copyMatching(query(account));
        EXPECT_EQ(read.status, KeychainResult::success);
        EXPECT_EQ(read.data, data);
    }
}

TEST_F(SecretServiceKeychainTest, items_areKeptApartByServiceAndAccountButNotByVariant) {
    ASSERT_EQ(keychain_.add(query("one", "service-a"), asBytes("1")), KeychainResult::success);
    ASSERT_EQ(keychain_.add(query("two", "service-a"), asBytes("2")), KeychainResult::success);
    for (const auto& absent : {query("one", "service-b"), query("three", "service-a")}) {
        auto read = keychain_.copyMatching(absent);
        EXPECT_EQ(read.status, KeychainResult::itemNotFound);
        EXPECT_FALSE(read.data);
    }

    auto legacy = query("one", "service-a");
    legacy.variant = KeychainVariant::legacy;
    EXPECT_EQ(keychain_.add(legacy, asBytes("other")), KeychainResult::duplicateItem);
    EXPECT_EQ(keychain_.copyMatching(legacy).data, toBytes(asBytes("1")));
    EXPECT_EQ(keychain_.copyMatching(query("two", "service-a")).data, toBytes(asBytes("2")));
}

TEST_F(SecretServiceKeychainTest, copyMatching_newProcessAfterWriterExited_findsBytes) {
    Bytes secret = randomBytes(32);

    EXPECT_EQ(runProbe("add", query("shared"), secret), "success\n");
    EXPECT_EQ(runProbe("read", query("shared"), secret), "success same\n");
    EXPECT_EQ(keychain_.copyMatching(query("shared")).data, secret);
}

TEST_F(SecretServiceKeychainTest, bothCalls_lockedCollection_returnLocked) {
    ASSERT_EQ(keychain_.add(query("stored"), asBytes("s")), KeychainResult::success);
    auto locked = keyring_->lockDefaultCollection();
    ASSERT_FALSE(locked) << *locked;

    auto read = keychain_.copyMatching(query("stored"));
    EXPECT_EQ(read.status, KeychainResult::locked);
    EXPECT_FALSE(read.data);
    EXPECT_EQ(keychain_.add(query("new"), asBytes("n")), KeychainResult::locked);
}

TEST_F(SecretServiceKeychainTest, bothCalls_nameNotUtf8_returnFailed) {
    for (const auto& bad : {query("\xff\xfe"), query(std::string("a\0b", 3))}) {
        EXPECT_EQ(keychain_.copyMatching(bad).status, KeychainResult::failed);
        EXPECT_EQ(keychain_.add(bad, asBytes("x")), KeychainResult::failed);
    }
}

class SecretServiceKeychainUnavailableTest : public testing::Test {
protected:
    void TearDown() override { useBus(nowhere); }

    void expectUnavailable() {
        auto read = keychain_.copyMatching(query("key"));
        EXPECT_EQ(read.status, KeychainResult::unavailable);
        EXPECT_FALSE(read.data);
        EXPECT_EQ(keychain_.add(query("key"), asBytes("x")), KeychainResult::unavailable);
    }

    SecretServiceKeychain keychain_;
};

TEST_F(SecretServiceKeychainUnavailableTest, bothCalls_busWithoutSecretService_returnUnavailable) {
    SessionBus bus;
    ASSERT_TRUE(bus.running()) << bus.error();
    useBus(bus.address());

    expectUnavailable();
}

TEST_F(SecretServiceKeychainUnavailableTest, bothCalls_deadBusSocket_returnUnavailable) {
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
    useBus("unix:path=" + path);

    expectUnavailable();
}

TEST_F(SecretServiceKeychainUnavailableTest, bothCalls_serviceStartedAfterFailure_reachIt) {
    SessionBus bus;
    ASSERT_TRUE(bus.running()) << bus.error();
    useBus(bus.address());
    ASSERT_EQ(keychain_.copyMatching(query("key")).status, KeychainResult::unavailable);

    KeyringDaemon keyring(bus);
    ASSERT_TRUE(keyring.running()) << keyring.error();
    EXPECT_EQ(keychain_.add(query("key"), asBytes("k")), KeychainResult::success);
    EXPECT_EQ(keychain_.copyMatching(query("key")).data, toBytes(asBytes("k")));
}

} // namespace
} // namespace tovali
