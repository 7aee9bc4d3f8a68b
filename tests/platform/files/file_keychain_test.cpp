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

TEST_F(FileKeychainTest, add_thenCopyMatching_returnsTheSameBytes) {
    FileKeychain keychain(root() + "/data/tovali");
    Bytes large(300'000);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes values[] = {{}, {0, 1, 0, 0xff, 0}, large};
    for (std::size_t i = 0; i < std::size(values); ++i) {
        auto query = item("service", "account" + std::to_string(i));
        ASSERT_EQ(keychain.add(query, values[i]), KeychainResult::success);
        auto read = keychain.copyMatching(query);
        EXPECT_EQ(read.status, KeychainResult::success);
        EXPECT_EQ(read.data, values[i]);
    }
}

TEST_F(FileKeychainTest, copyMatching_withoutFolderOrItem_isItemNotFoundAndCreatesNothing) {
    FileKeychain keychain(root() + "/tovali");
    EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, KeychainResult::itemNotFound);
    EXPECT_EQ(modeOf(keychain.folder()), -1);
    ASSERT_EQ(keychain.add(item("s", "a"), asBytes("x")), KeychainResult::success);
    auto other = keychain.copyMatching(item("s", "b"));
    EXPECT_EQ(other.status, KeychainResult::itemNotFound);
    EXPECT_FALSE(other.data);
}

TEST_F(FileKeychainTest, add_existingItemOfEitherVariant_isDuplicateAndKeepsTheFirstBytes) {
    FileKeychain keychain(root() + "/tovali");
    ASSERT_EQ(keychain.add(item("s", "a"), asBytes("first")), KeychainResult::success);
    EXPECT_EQ(keychain.add(item("s", "a"), asBytes("second")), KeychainResult::duplicateItem);
    EXPECT_EQ(keychain.add(item("s", "a", KeychainVariant::dataProtection), asBytes("third")),
              KeychainResult::duplicateItem);
    auto read = keychain.copyMatching(item("s", "a", KeychainVariant::dataProtection));
    EXPECT_EQ(read.data, toBytes(asBytes("first")));
    EXPECT_EQ(entriesOf(keychain.folder()).size(), 1U);
}

TEST_F(FileKeychainTest, add_underAnyUmask_makesFoldersAndFileOwnerOnly) {
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
    }
}

TEST_F(FileKeychainTest, copyMatching_looserFolderAndFile_tightensThem) {
    FileKeychain keychain(root() + "/tovali");
    ASSERT_EQ(keychain.add(item("s", "a"), asBytes("x")), KeychainResult::success);
    std::string file = keychain.folder() + "/" + FileKeychain::fileName(item("s", "a"));
    ASSERT_EQ(::chmod(keychain.folder().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, KeychainResult::success);
    EXPECT_EQ(modeOf(keychain.folder()), 0700);
    EXPECT_EQ(modeOf(file), 0600);
}

TEST_F(FileKeychainTest, anyCall_symlinkOrFolderInPlaceOfItem_failsAndLeftAlone) {
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
}

TEST_F(FileKeychainTest, anyCall_folderIsASymlink_failsAndWritesNothing) {
    std::string real = root() + "/real";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), (root() + "/tovali").c_str()), 0);
    FileKeychain keychain(root() + "/tovali");
    EXPECT_EQ(keychain.add(item("s", "a"), asBytes("x")), KeychainResult::failed);
    EXPECT_EQ(keychain.copyMatching(item("s", "a")).status, KeychainResult::failed);
    EXPECT_TRUE(entriesOf(real).empty());
}

TEST_F(FileKeychainTest, anyCall_anotherUsersFolderOrFile_failsAndLeftAlone) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    constexpr uid_t nobody = 65534;
    FileKeychain theirs(root() + "/theirs");
    ASSERT_EQ(::mkdir(theirs.folder().c_str(), 0755), 0);
    ASSERT_EQ(::chown(theirs.folder().c_str(), nobody, nobody), 0);
    EXPECT_EQ(theirs.add(item("s", "a"), asBytes("x")), KeychainResult::failed);
    EXPECT_EQ(theirs.copyMatching(item("s", "a")).status, KeychainResult::failed);
    EXPECT_EQ(modeOf(theirs.folder()), 0755);
    EXPECT_TRUE(entriesOf(theirs.folder()).empty());

    FileKeychain ours(root() + "/ours");
    ASSERT_EQ(ours.add(item("s", "a"), asBytes("x")), KeychainResult::success);
    std::string file = ours.folder() + "/" + FileKeychain::fileName(item("s", "a"));
    ASSERT_EQ(::chown(file.c_str(), nobody, nobody), 0);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(ours.copyMatching(item("s", "a")).status, KeychainResult::failed);
    EXPECT_EQ(ours.add(item("s", "a"), asBytes("y")), KeychainResult::failed);
    EXPECT_EQ(modeOf(file), 0644);
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
    EXPECT_EQ(FileKeychain::fileName(item("my-app_1", "me")), "my-app_1.me.secret");
    EXPECT_EQ(FileKeychain::fileName(item("a/b", "..")), "a%2Fb.%2E%2E.secret");
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
            EXPECT_EQ(read.status, KeychainResult::success);
            EXPECT_EQ(read.data, secret);
        }
    }
}

} // namespace
} // namespace tovali
