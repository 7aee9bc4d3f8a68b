// The list of paired watches kept in a real settings file.
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

using namespace files_test;

TEST_F(TempFolderTest, trustStore_unreadableFile_isKeptBesideTheNewListThatReadsBack) {
    test::ManualMainLoop loop;
    test::CapturedLog log;
    const std::string folder = root() + "/tovali";
    FileDefaults defaults(folder);
    ASSERT_TRUE(defaults.setData("trustedWatches", asBytes("[{\"key\": truncated")));
    loop.setWallTime(818'241'720.0); // 2026-12-06 09:22:00 UTC
    TrustStore trust(defaults, log, loop);
    trust.add(toBytes(crypto::PrivateKey::generate().publicKey()), "Ann's watch / 1");

    const std::string kept = folder + "/trustedWatches.unreadable-2026-12-06T09-22-00Z.json";
    EXPECT_EQ(readText(kept), "[{\"key\": truncated");
    EXPECT_EQ(modeOf(kept), 0600);
    ASSERT_EQ(log.lines.size(), 1U);
    EXPECT_NE(log.lines[0].find(kept), std::string::npos) << log.lines[0];

    FileDefaults reopened(folder);
    EXPECT_EQ(TrustStore(reopened, log, loop).watches(), trust.watches());
    EXPECT_EQ(log.lines.size(), 1U);
}

} // namespace
} // namespace tovali
