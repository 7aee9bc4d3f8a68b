// The two stores kept in real files: the settings, and the computer's key where no Secret
// Service answers. Both must survive a crash at any step and keep their files owner-only.
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "files_test_support.hpp"
#include "platform/files/file_defaults.hpp"
#include "platform/files/file_keychain.hpp"
#include "platform/files/xdg_paths.hpp"

namespace tovali {
namespace {

using namespace files_test;
using FileStoresTest = TempFolderTest;

KeychainQuery item(std::string account, KeychainVariant variant = KeychainVariant::legacy) {
    return {"s", std::move(account), variant};
}

using Folder = const std::string&;
using Name = const std::string&;

// Both stores behind one face; the key store never overwrites what is there.
const struct Store {
    const char* what;
    bool replaces;
    std::function<bool(Folder, Name, const Bytes&, const files::SaveObserver&)> save;
    std::function<std::optional<Bytes>(Folder, Name)> load;
    std::function<std::string(Folder, Name)> path;
} stores[] = {
    {"settings", true,
     [](Folder folder, Name name, const Bytes& value, const files::SaveObserver& observer) {
         return FileDefaults(folder, observer).setData(name, value);
     },
     [](Folder folder, Name name) { return FileDefaults(folder).data(name); },
     [](Folder folder, Name name) { return FileDefaults(folder).location(name); }},
    {"keys", false,
     [](Folder folder, Name name, const Bytes& value, const files::SaveObserver& observer) {
         return FileKeychain(folder, observer).add(item(name), value) == KeychainResult::success;
     },
     [](Folder folder, Name name) { return FileKeychain(folder).copyMatching(item(name)).data; },
     [](Folder folder, Name name) { return folder + "/" + FileKeychain::fileName(item(name)); }},
};

TEST_F(FileStoresTest, save_anyBytesUnderAwkwardNames_readsBackFromDistinctOwnerOnlyFiles) {
    Bytes large(1 << 20);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i % 251);
    // A name must never reach outside the folder nor pass for a temporary file.
    const std::string names[] = {".", "..", ".hidden", "a/b", "../x", "", "%", "sp ace", "é"};
    for (const Store& store : stores) {
        SCOPED_TRACE(store.what);
        const std::string parent = root() + "/" + store.what;
        const std::string folder = parent + "/tovali";
        EXPECT_FALSE(store.load(folder, "value"));
        EXPECT_EQ(modeOf(folder), -1) << "reading creates nothing";
        // Shorter after longer shows a replacement that keeps a stale tail.
        for (const Bytes& value : {large, Bytes{0, 0, 0x0a, 0, 0xff}, Bytes{}}) {
            EXPECT_EQ(store.save(folder, "value", value, {}), store.replaces || value == large);
            EXPECT_EQ(store.load(folder, "value"), store.replaces ? value : large);
        }
        for (const auto& name : names)
            ASSERT_TRUE(store.save(folder, name, toBytes(asBytes(name)), {})) << name;
        const auto files = entriesOf(folder);
        EXPECT_EQ(files.size(), std::size(names) + 1);
        for (const auto& file : files) {
            EXPECT_NE(file.front(), '.') << file;
            EXPECT_EQ(modeOf(folder + "/" + file), 0600) << file;
        }
        for (const auto& name : names)
            EXPECT_EQ(store.load(folder, name), toBytes(asBytes(name))) << name;
        EXPECT_EQ(modeOf(parent), 0700);
        EXPECT_EQ(modeOf(folder), 0700);
    }
}

TEST_F(FileStoresTest, save_killedAtAnyStep_leavesTheOldValueOrTheWholeNewOne) {
    for (const Store& store : stores) {
        SCOPED_TRACE(store.what);
        const std::string folder = root() + "/" + store.what;
        for (int each = 0; each <= static_cast<int>(files::SaveStep::folderSynced); ++each) {
            const auto step = static_cast<files::SaveStep>(each);
            const std::string name = "step" + std::to_string(each);
            if (store.replaces) {
                ASSERT_TRUE(store.save(folder, name, toBytes(asBytes("old value")), {}));
            }
            ASSERT_TRUE(killedAt(step, [&](const files::SaveObserver& observer) {
                store.save(folder, name, toBytes(asBytes("new")), observer);
            }));
            const bool placed = step >= files::SaveStep::placed;
            const auto read = store.load(folder, name);
            if (placed || store.replaces) {
                EXPECT_EQ(read, toBytes(asBytes(placed ? "new" : "old value")));
            } else {
                EXPECT_FALSE(read);
            }
            EXPECT_EQ(store.save(folder, name, toBytes(asBytes("next")), {}),
                      store.replaces || !placed);
        }
    }
}

TEST_F(FileStoresTest, settings_leftoverTemporaryFiles_areNeverReadAndStaleOnesGo) {
    FileDefaults defaults(root() + "/tovali");
    ASSERT_TRUE(defaults.setData("other", asBytes("x")));
    const std::string stale = ".tmp-trustedWatches.0123456789abcdef";
    const std::string young = ".tmp-trustedWatches.fedcba9876543210";
    const std::string staleOfOther = ".tmp-other.0123456789abcdef";
    const timespec hourAgo[] = {{std::time(nullptr) - 3600, 0}, {std::time(nullptr) - 3600, 0}};
    for (const auto& name : {stale, young, staleOfOther}) {
        writeText(defaults.folder() + "/" + name, "torn");
        const timespec* times = name == young ? nullptr : hourAgo;
        ASSERT_EQ(::utimensat(AT_FDCWD, (defaults.folder() + "/" + name).c_str(), times, 0), 0);
    }
    EXPECT_FALSE(defaults.data("trustedWatches"));
    ASSERT_TRUE(defaults.setData("trustedWatches", asBytes("new")));
    EXPECT_EQ(entriesOf(defaults.folder()),
              (std::set<std::string>{"other", "trustedWatches", young, staleOfOther}));
}

TEST_F(FileStoresTest,
       keys_underAnyUmaskOrLooserModes_endOwnerOnlyAndOnlyServiceAndAccountTellApart) {
    for (mode_t mask : {mode_t{0}, mode_t{0277}}) {
        FileKeychain keychain(root() + "/mask" + std::to_string(mask) + "/tovali");
        const std::string file = keychain.folder() + "/s.a.secret";
        mode_t old = ::umask(mask);
        KeychainResult status = keychain.add(item("a"), asBytes("x"));
        ::umask(old);
        ASSERT_EQ(status, KeychainResult::success);
        ASSERT_EQ(::chmod(keychain.folder().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
        EXPECT_EQ(keychain.copyMatching(item("a")).status, KeychainResult::success);
        EXPECT_EQ(modeOf(keychain.folder()), 0700);
        EXPECT_EQ(modeOf(file), 0600);
        EXPECT_EQ(keychain.add(item("a", KeychainVariant::dataProtection), asBytes("y")),
                  KeychainResult::duplicateItem);
    }
    FileKeychain keychain(root() + "/tovali");
    ASSERT_EQ(keychain.add({"a", "b.c"}, asBytes("1")), KeychainResult::success);
    ASSERT_EQ(keychain.add({"a.b", "c"}, asBytes("2")), KeychainResult::success);
    EXPECT_EQ(keychain.copyMatching({"a", "b.c"}).data, toBytes(asBytes("1")));
}

// Nothing that is not a file of ours is read or written through: not a link, a folder or a
// fifo at an item's name, nor a store folder that is a link.
TEST_F(FileStoresTest, entriesNotOurs_areNeverReadNorWrittenThrough) {
    const std::string outside = root() + "/outside";
    writeText(outside, "outside");
    ASSERT_EQ(::chmod(outside.c_str(), 0644), 0);
    for (const Store& store : stores) {
        SCOPED_TRACE(store.what);
        const std::string folder = root() + "/" + store.what, linked = folder + "-linked";
        ASSERT_TRUE(store.save(folder, "item", toBytes(asBytes("x")), {}));
        ASSERT_EQ(::symlink(outside.c_str(), store.path(folder, "link").c_str()), 0);
        ASSERT_EQ(::mkdir(store.path(folder, "folder").c_str(), 0700), 0);
        ASSERT_EQ(::mkfifo(store.path(folder, "fifo").c_str(), 0600), 0);
        for (const char* name : {"link", "folder", "fifo"}) {
            EXPECT_FALSE(store.load(folder, name)) << name;
            if (!store.replaces) {
                EXPECT_FALSE(store.save(folder, name, toBytes(asBytes("new")), {})) << name;
            }
        }
        ASSERT_EQ(::symlink(folder.c_str(), linked.c_str()), 0);
        EXPECT_FALSE(store.load(linked, "item"));
        EXPECT_FALSE(store.save(linked, "other", toBytes(asBytes("x")), {}));
        EXPECT_FALSE(store.load(folder, "other"));
    }
    EXPECT_EQ(readText(outside), "outside");
    EXPECT_EQ(modeOf(outside), 0644);
}

// A relative folder would follow the working directory, so files would seem lost.
TEST_F(FileStoresTest, folders_onlyAbsoluteVariablesCount_elseTheHomeFolder) {
    const passwd* entry = ::getpwuid(::geteuid());
    ASSERT_NE(entry, nullptr);
    const std::optional<std::string> unset;
    const struct {
        std::optional<std::string> xdg, home;
        std::string base;
    } cases[] = {
        {root() + "/x/", root(), ""},
        {"relative/dir", root(), root()},
        {"", root(), root()},
        {unset, root(), root()},
        {unset, "relative", entry->pw_dir},
        {unset, unset, entry->pw_dir},
    };
    for (const auto& each : cases) {
        setEnv("HOME", each.home);
        for (const char* name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME"})
            setEnv(name, each.xdg);
        const bool ownBase = each.base.empty();
        EXPECT_EQ(files::dataHome(), ownBase ? root() + "/x" : each.base + "/.local/share");
        EXPECT_EQ(files::configHome(), ownBase ? root() + "/x" : each.base + "/.config");
    }
    setEnv("XDG_DATA_HOME", root() + "/data");
    setEnv("XDG_CONFIG_HOME", root() + "/config");
    EXPECT_EQ(FileKeychain::fromEnvironment()->folder(), root() + "/data/tovali");
    EXPECT_EQ(FileDefaults::fromEnvironment()->folder(), root() + "/config/tovali");
}

} // namespace
} // namespace tovali
