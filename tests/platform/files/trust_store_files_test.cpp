// The list of paired watches kept in a real settings file.
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "files_test_support.hpp"
#include "link/crypto.hpp"
#include "platform/files/file_defaults.hpp"
#include "support/manual_main_loop.hpp"
#include "support/memory_defaults.hpp"
#include "trust/trust_store.hpp"

namespace tovali {
namespace {

std::string contentsOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

Bytes newKey() {
    return toBytes(crypto::PrivateKey::generate().publicKey());
}

class TrustStoreFilesTest : public files_test::TempFolderTest {
protected:
    std::string folder() const { return root() + "/tovali"; }

    test::ManualMainLoop loop;
    test::CapturedLog log;
};

TEST_F(TrustStoreFilesTest, savedList_isTheFileByteForByteAndReadsBackEqual) {
    FileDefaults defaults(folder());
    TrustStore trust(defaults, log, loop);
    trust.add(newKey(), "Ann's watch / 1");
    trust.add(newKey(), "Second");

    EXPECT_EQ(contentsOf(folder() + "/trustedWatches"), *encodeTrustedWatches(trust.watches()));
    FileDefaults reopened(folder());
    EXPECT_EQ(TrustStore(reopened, log, loop).watches(), trust.watches());
    EXPECT_TRUE(log.lines.empty());
}

TEST_F(TrustStoreFilesTest, unreadableFile_isKeptBesideTheNewList) {
    FileDefaults defaults(folder());
    ASSERT_TRUE(defaults.setData("trustedWatches", asBytes("[{\"key\": truncated")));
    loop.setWallTime(818'241'720.0); // 2026-12-06 09:22:00 UTC
    TrustStore trust(defaults, log, loop);
    trust.add(newKey(), "Watch");

    const std::string kept = folder() + "/trustedWatches.unreadable-2026-12-06T09-22-00Z.json";
    EXPECT_EQ(contentsOf(kept), "[{\"key\": truncated");
    EXPECT_EQ(files_test::modeOf(kept), 0600);
    EXPECT_EQ(contentsOf(folder() + "/trustedWatches"), *encodeTrustedWatches(trust.watches()));
    ASSERT_EQ(log.lines.size(), 1U);
    EXPECT_NE(log.lines[0].find(kept), std::string::npos) << log.lines[0];
}

} // namespace
} // namespace tovali
