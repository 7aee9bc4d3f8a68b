#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "files_test_support.hpp"
#include "platform/files/file_keychain.hpp"

namespace tovali {
namespace {

using namespace files_test;
using FileKeychainTest = TempFolderTest;

KeychainQuery item(std::string service, std::string account,
                   KeychainVariant variant = KeychainVariant::legacy) {
    return {std::move(service), std::move(account), variant};
}

TEST_F(FileKeychainTest, add_thenCopyMatching_returnsTheBytesAndNeverOverwrites) {
    FileKeychain keychain(root() + "/tovali");
    EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, KeychainResult::itemNotFound);
    EXPECT_EQ(modeOf(keychain.folder()), -1) << "reading creates nothing";
    Bytes large(300'000);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes values[] = {{}, {0, 1, 0, 0xff, 0}, large};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        auto query = item("s", "account" + std::to_string(i));
        ASSERT_EQ(keychain.add(query, values[i]), KeychainResult::success);
        auto read = keychain.copyMatching(query);
        EXPECT_EQ(read.status, KeychainResult::success);
        EXPECT_EQ(read.data, values[i]);
    }
    EXPECT_EQ(keychain.copyMatching(item("s", "other")).data, std::nullopt);

    // The variant does not tell items apart.
    EXPECT_EQ(keychain.add(item("s", "account1", KeychainVariant::dataProtection), asBytes("x")),
              KeychainResult::duplicateItem);
    EXPECT_EQ(keychain.copyMatching(item("s", "account1")).data, values[1]);
}

TEST_F(FileKeychainTest, anyCall_underAnyUmaskOrLooserModes_leavesFoldersAndFileOwnerOnly) {
    for (mode_t mask : {mode_t{0}, mode_t{0277}}) {
        std::string parent = root() + "/mask" + std::to_string(mask);
        FileKeychain keychain(parent + "/tovali");
        mode_t old = ::umask(mask);
        KeychainResult status = keychain.add(item("s", "a"), asBytes("x"));
        ::umask(old);
        ASSERT_EQ(status, KeychainResult::success);
        EXPECT_EQ(modeOf(parent), 0700);
        EXPECT_EQ(modeOf(keychain.folder()), 0700);
        EXPECT_EQ(modeOf(keychain.folder() + "/s.a.secret"), 0600);

        ASSERT_EQ(::chmod(keychain.folder().c_str(), 0755), 0);
        ASSERT_EQ(::chmod((keychain.folder() + "/s.a.secret").c_str(), 0644), 0);
        EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, KeychainResult::success);
        EXPECT_EQ(modeOf(keychain.folder()), 0700);
        EXPECT_EQ(modeOf(keychain.folder() + "/s.a.secret"), 0600);
    }
}

TEST_F(FileKeychainTest, anyCall_folderOrItemNotOurs_failsAndLeavesItAlone) {
    FileKeychain keychain(root() + "/tovali");
    ASSERT_EQ(keychain.add(item("s", "other"), asBytes("x")), KeychainResult::success);
    std::string outside = root() + "/outside";
    writeText(outside, "outside");
    ASSERT_EQ(::chmod(outside.c_str(), 0644), 0);
    std::string link = keychain.folder() + "/" + FileKeychain::fileName(item("s", "link"));
    ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
    std::string folder = keychain.folder() + "/" + FileKeychain::fileName(item("s", "dir"));
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    for (const char* account : {"link", "dir"}) {
        EXPECT_EQ(keychain.copyMatching(item("s", account)).status, KeychainResult::failed);
        EXPECT_EQ(keychain.add(item("s", account), asBytes("new")), KeychainResult::failed);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(readText(outside), "outside");
    EXPECT_EQ(modeOf(outside), 0644);

    std::string real = root() + "/real";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), (root() + "/linked").c_str()), 0);
    FileKeychain linked(root() + "/linked");
    EXPECT_EQ(linked.add(item("s", "a"), asBytes("x")), KeychainResult::failed);
    EXPECT_EQ(linked.copyMatching(item("s", "a")).status, KeychainResult::failed);
    EXPECT_TRUE(entriesOf(real).empty());
}

TEST_F(FileKeychainTest, add_awkwardServicesAndAccounts_mapToDistinctSafeFilesThatRoundTrip) {
    const std::pair<std::string, std::string> pairs[] = {
        {"a", "b.c"}, {"a.b", "c"}, {"../..", "x/y"},        {".", ".."},
        {"", ""},     {"", "%"},    {"with space", "é日本"}, {"a%2Fb", "a/b"},
    };
    FileKeychain keychain(root() + "/tovali");
    for (const auto& [service, account] : pairs)
        ASSERT_EQ(keychain.add(item(service, account), asBytes(service + "|" + account)),
                  KeychainResult::success);
    auto names = entriesOf(keychain.folder());
    EXPECT_EQ(names.size(), std::size(pairs));
    for (const auto& name : names)
        EXPECT_NE(name.front(), '.') << name;
    for (const auto& [service, account] : pairs)
        EXPECT_EQ(keychain.copyMatching(item(service, account)).data,
                  toBytes(asBytes(service + "|" + account)));
}

TEST_F(FileKeychainTest, add_killedAtAnyStep_leavesNoItemOrTheWholeItem) {
    const std::string folder = root() + "/tovali";
    const Bytes secret{0, 1, 2, 3, 0};
    for (auto step : allSteps) {
        auto query = item("s", "step" + std::to_string(static_cast<int>(step)));
        ASSERT_TRUE(killedAt(step, [&](const files::SaveObserver& observer) {
            FileKeychain(folder, observer).add(query, secret);
        }));
        FileKeychain keychain(folder);
        auto read = keychain.copyMatching(query);
        if (step < files::SaveStep::placed) {
            EXPECT_EQ(read.status, KeychainResult::itemNotFound);
            EXPECT_EQ(keychain.add(query, secret), KeychainResult::success);
        } else {
            EXPECT_EQ(read.data, secret);
        }
    }
}

} // namespace
} // namespace tovali
