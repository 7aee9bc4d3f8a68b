#include <gtest/gtest.h>

#include "link/crypto.hpp"
#include "support/manual_main_loop.hpp"
#include "support/memory_defaults.hpp"
#include "trust/base64.hpp"
#include "trust/trust_store.hpp"

namespace tovali {
namespace {

Bytes newKey() {
    return toBytes(crypto::PrivateKey::generate().publicKey());
}

// A record in its stored form, slashes escaped.
std::string record(const Bytes& key, const std::string& name, const std::string& pairedAt) {
    std::string escapedKey;
    for (const char c : base64Encode(key)) {
        escapedKey += c == '/' ? "\\/" : std::string(1, c);
    }
    return R"({"key":")" + escapedKey + R"(","name":")" + name + R"(","pairedAt":)" + pairedAt +
           "}";
}

class TrustStoreTest : public ::testing::Test {
protected:
    TrustStore load() { return TrustStore(defaults, log, loop); }
    void store(const std::string& text) {
        defaults.values["trustedWatches"] = toBytes(asBytes(text));
    }
    std::string stored() const {
        const Bytes& bytes = defaults.values.at("trustedWatches");
        return std::string(bytes.begin(), bytes.end());
    }

    test::ManualMainLoop loop;
    test::MemoryDefaults defaults;
    test::CapturedLog log;
    Bytes a = newKey();
    Bytes b = newKey();
    Bytes c = newKey();
};

TEST_F(TrustStoreTest, load_dropsRecordsWhoseKeyIsNoPointAndRewritesAtOnce) {
    Bytes offCurve = a;
    offCurve[64] ^= 1;
    store("[" + record(a, "A", "1") + "," + record(Bytes(a.begin(), a.end() - 1), "short", "2") +
          "," + record(offCurve, "off", "3") + "," + record(c, "C", "4") + "]");
    const TrustStore trust = load();
    ASSERT_EQ(trust.watches().size(), 2U);
    EXPECT_EQ(trust.watches()[1].name, "C");
    EXPECT_EQ(defaults.writes, (std::vector<std::string>{"trustedWatches"}));
    EXPECT_EQ(stored(), "[" + record(a, "A", "1") + "," + record(c, "C", "4") + "]");
}

// An unreadable list is replaced only once a copy of it is kept beside it; the log says where.
TEST_F(TrustStoreTest, changesAfterAnUnreadableLoad_replaceItOnlyOnceACopyIsKept) {
    store("[{\"key\":\"broken");
    loop.setWallTime(818'241'720.5); // 2026-12-06 09:22:00.5 UTC
    TrustStore trust = load();
    defaults.writeFails = [](std::string_view name) { return name != "trustedWatches"; };
    trust.add(a, "Watch");
    EXPECT_EQ(stored(), "[{\"key\":\"broken");
    EXPECT_EQ(trust.watches().size(), 1U) << "the change is kept in memory";

    defaults.writeFails = nullptr;
    trust.add(b, "Other");
    trust.remove(c);
    const std::string copy = "trustedWatches.unreadable-2026-12-06T09-22-00Z.json";
    EXPECT_EQ(defaults.writes,
              (std::vector<std::string>{copy, copy, "trustedWatches", "trustedWatches"}));
    EXPECT_EQ(defaults.values.at(copy), toBytes(asBytes("[{\"key\":\"broken")));
    EXPECT_EQ(*decodeTrustedWatches(defaults.values.at("trustedWatches")), trust.watches());
    ASSERT_EQ(log.lines.size(), 2U);
    EXPECT_EQ(log.lines[1], "Orvanel: the list of paired watches could not be read; it was kept "
                            "at /config/tovali/" +
                                copy);
}

TEST_F(TrustStoreTest,
       changes_moveARepairedWatchToTheEndRemoveEveryCopyAndAreSavedAtOnceOrOnRetry) {
    store("[" + record(a, "A1", "1") + "," + record(a, "A2", "3") + "]");
    TrustStore trust = load();
    loop.advance(60.0);
    trust.add(b, "B");
    trust.add(a, "A renamed");
    EXPECT_EQ(trust.watches(), (std::vector<TrustedWatch>{{b, "B", loop.wallTime()},
                                                          {a, "A renamed", loop.wallTime()}}));
    EXPECT_TRUE(trust.contains(a));
    EXPECT_FALSE(trust.contains(c));
    EXPECT_EQ(*decodeTrustedWatches(defaults.values.at("trustedWatches")), trust.watches());
    trust.remove(c);
    EXPECT_EQ(defaults.writes.size(), 3U) << "removing an unknown watch saves too";
    trust.remove(a);
    defaults.writeFails = [](std::string_view) { return true; };
    trust.remove(b);
    EXPECT_TRUE(trust.problem());
    defaults.writeFails = nullptr;
    trust.retryFailedSave();
    EXPECT_FALSE(trust.problem());
    EXPECT_EQ(stored(), "[]");
}

} // namespace
} // namespace tovali
