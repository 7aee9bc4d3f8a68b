#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "files_test_support.hpp"
#include "platform/files/file_defaults.hpp"

namespace tovali {
namespace {

using namespace files_test;
using FileDefaultsTest = TempFolderTest;

TEST_F(FileDefaultsTest, setData_anyBytes_replacesTheValueWholeInPrivateFolders) {
    FileDefaults defaults(root() + "/config/tovali");
    EXPECT_FALSE(defaults.data("value"));
    EXPECT_EQ(modeOf(defaults.folder()), -1) << "reading creates nothing";
    Bytes large(1 << 20);
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<std::uint8_t>(i % 251);
    // Shorter after longer shows a replacement that keeps a stale tail.
    for (const Bytes& value : {large, Bytes{0, 0, 0x0a, 0, 0xff}, Bytes{}}) {
        ASSERT_TRUE(defaults.setData("value", value));
        EXPECT_EQ(defaults.data("value"), value);
    }
    EXPECT_EQ(entriesOf(defaults.folder()), std::set<std::string>{"value"});
    EXPECT_EQ(modeOf(root() + "/config"), 0700);
    EXPECT_EQ(modeOf(defaults.folder()), 0700);
    EXPECT_EQ(modeOf(defaults.location("value")), 0600);
}

TEST_F(FileDefaultsTest, data_notAPlainFile_isNothing) {
    FileDefaults defaults(root() + "/tovali");
    ASSERT_TRUE(defaults.setData("plain", asBytes("x")));
    ASSERT_EQ(::mkdir(defaults.location("folder").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(defaults.location("plain").c_str(), defaults.location("link").c_str()), 0);
    ASSERT_EQ(::mkfifo(defaults.location("fifo").c_str(), 0600), 0);
    for (const char* name : {"folder", "link", "fifo"})
        EXPECT_FALSE(defaults.data(name)) << name;
}

TEST_F(FileDefaultsTest, setData_killedAtAnyStep_leavesOldOrNewValueAndNextSaveWorks) {
    const std::string folder = root() + "/tovali";
    FileDefaults defaults(folder);
    for (auto step : allSteps) {
        ASSERT_TRUE(defaults.setData("trustedWatches", asBytes("old value")));
        ASSERT_TRUE(killedAt(step, [&](const files::SaveObserver& observer) {
            FileDefaults(folder, observer).setData("trustedWatches", asBytes("new"));
        }));
        auto expected = step < files::SaveStep::placed ? "old value" : "new";
        EXPECT_EQ(defaults.data("trustedWatches"), toBytes(asBytes(expected)));
        ASSERT_TRUE(defaults.setData("trustedWatches", asBytes("next")));
        EXPECT_EQ(defaults.data("trustedWatches"), toBytes(asBytes("next")));
    }
}

TEST_F(FileDefaultsTest, setData_leftoverTemporaryFiles_areNeverReadAndStaleOnesGo) {
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
    EXPECT_EQ(defaults.data("trustedWatches"), toBytes(asBytes("new")));
    EXPECT_EQ(entriesOf(defaults.folder()),
              (std::set<std::string>{"other", "trustedWatches", young, staleOfOther}));
}

// A name must never reach outside the folder nor pass for a temporary file.
TEST_F(FileDefaultsTest, setData_awkwardNames_areDistinctSafeFilesThatRoundTrip) {
    FileDefaults defaults(root() + "/tovali");
    const std::string awkward[] = {".", "..", ".hidden", "a/b", "../x", "", "%", "sp ace", "é"};
    for (const auto& name : awkward)
        ASSERT_TRUE(defaults.setData(name, asBytes(name))) << name;
    auto names = entriesOf(defaults.folder());
    EXPECT_EQ(names.size(), std::size(awkward));
    for (const auto& name : names)
        EXPECT_NE(name.front(), '.') << name;
    for (const auto& name : awkward)
        EXPECT_EQ(defaults.data(name), toBytes(asBytes(name))) << name;
    EXPECT_EQ(defaults.location("trustedWatches"), defaults.folder() + "/trustedWatches");
}

} // namespace
} // namespace tovali
