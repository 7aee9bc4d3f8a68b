// A list of paired watches in a real settings file that cannot be read or written.
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// Root reads and writes whatever the modes say, so as root the test becomes nobody, in a folder
// that is nobody's, for as long as this lives.
class AsNonRoot {
public:
    explicit AsNonRoot(const std::string& folder) {
        if (::geteuid() != 0) {
            return;
        }
        constexpr uid_t nobody = 65534;
        switched_ = ::chown(folder.c_str(), nobody, nobody) == 0 && ::setegid(nobody) == 0 &&
                    ::seteuid(nobody) == 0;
    }
    ~AsNonRoot() {
        if (switched_) {
            static_cast<void>(::seteuid(0));
            static_cast<void>(::setegid(0));
        }
    }
    AsNonRoot(const AsNonRoot&) = delete;
    AsNonRoot& operator=(const AsNonRoot&) = delete;

    bool ok() const { return ::geteuid() != 0; }

private:
    bool switched_ = false;
};

Bytes newWatchKey() {
    return toBytes(crypto::PrivateKey::generate().publicKey());
}

// Taking an unreadable list for a missing one would let the next approval erase every pairing.
TEST_F(TempFolderTest, trustStore_listThatCannotBeRead_survivesAnApprovalByteForByte) {
    const AsNonRoot user(root());
    ASSERT_TRUE(user.ok());
    const struct Case {
        const char* name;
        void (*makeUnreadable)(const std::string& path);
        const char* reason;
    } cases[] = {
        {"mode 000", [](const std::string& path) { ::chmod(path.c_str(), 0); },
         "Permission denied"},
        {"a folder in its place",
         [](const std::string& path) {
             std::filesystem::remove(path);
             std::filesystem::create_directory(path);
             writeText(path + "/inside", "[]");
         },
         "it is a folder, not a file"},
    };
    const Bytes earlier = newWatchKey();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ManualMainLoop loop;
        test::CapturedLog log;
        const std::string folder = root() + "/" + c.name;
        const std::string path = folder + "/trustedWatches";
        FileDefaults defaults(folder);
        TrustStore(defaults, log, loop).add(earlier, "Earlier");
        const std::string before = readText(path);
        c.makeUnreadable(path);

        TrustStore trust(defaults, log, loop);
        const Bytes now = newWatchKey();
        trust.add(now, "Now");
        trust.retryFailedSave();
        EXPECT_TRUE(trust.contains(now)) << "pairing still works for this run";
        const std::string problem = trust.problem().value_or("");
        EXPECT_NE(problem.find(path + ": " + c.reason), std::string::npos) << problem;

        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        if (std::filesystem::is_directory(path)) {
            EXPECT_EQ(readText(path + "/inside"), "[]");
            EXPECT_EQ(entriesOf(folder), (std::set<std::string>{"trustedWatches"}));
        } else {
            EXPECT_EQ(readText(path), before);
            EXPECT_EQ(TrustStore(defaults, log, loop).watches().at(0).key, earlier);
        }
    }
}

// "Forget" that could not be saved must not look done, and must be saved once it can be.
TEST_F(TempFolderTest, trustStore_saveRefused_saysWhyAndSavesAtTheRetry) {
    test::ManualMainLoop loop;
    test::CapturedLog log;
    const std::string folder = root() + "/tovali";
    const std::string path = folder + "/trustedWatches";
    FileDefaults defaults(folder);
    const Bytes key = newWatchKey();
    TrustStore trust(defaults, log, loop);
    trust.add(key, "Ada");
    ASSERT_EQ(trust.problem(), std::nullopt);

    // Something takes the file's place while Tovali runs.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    writeText(path + "/inside", "x");
    trust.remove(key);
    const std::string problem = trust.problem().value_or("");
    EXPECT_NE(problem.find(path + ": it is a folder, not a file"), std::string::npos) << problem;
    std::filesystem::remove_all(path);
    trust.retryFailedSave();
    EXPECT_EQ(trust.problem(), std::nullopt);
    EXPECT_EQ(readText(path), "[]");
}

} // namespace
} // namespace tovali
