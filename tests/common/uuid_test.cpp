#include <unordered_set>

#include <gtest/gtest.h>

#include "common/uuid.hpp"
#include "link/wire_messages.hpp"

namespace tovali {
namespace {

TEST(Uuid, parse_eitherCase_formatsUpperCase) {
    auto uuid = Uuid::parse("dd68ee22-80de-405e-9088-15e661cf85ed");
    ASSERT_TRUE(uuid);
    EXPECT_EQ(uuid->toString(), "DD68EE22-80DE-405E-9088-15E661CF85ED");
    EXPECT_EQ(uuid, Uuid::parse("DD68EE22-80DE-405E-9088-15E661CF85ED"));
    EXPECT_EQ(uuid->bytes()[0], 0xDD);
    EXPECT_EQ(uuid->bytes()[15], 0xED);
}

TEST(Uuid, parse_malformedText_isNone) {
    for (const char* text : {
             "",
             "DD68EE22-80DE-405E-9088-15E661CF85E",   // short
             "DD68EE22-80DE-405E-9088-15E661CF85EDD", // long
             "DD68EE2280DE-405E-9088-15E661CF85ED0",  // dash moved
             "DD68EE22-80DE-405E-9088-15E661CF85EG",  // not hex
             "{D68EE22-80DE-405E-9088-15E661CF85E}",
         })
        EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(Uuid, hash_equalUuids_collideAndDistinctOnesMostlyDoNot) {
    std::unordered_set<Uuid> set{
        gatt::service, gatt::request, gatt::reply,
        gatt::signal,  gatt::input,   *Uuid::parse("DD68EE22-80DE-405E-9088-15E661CF85ED")};
    EXPECT_EQ(set.size(), 5u);
    EXPECT_TRUE(set.contains(*Uuid::parse("dd68ee26-80de-405e-9088-15e661cf85ed")));
}

TEST(Uuid, gattConstants_matchTheirPublishedText) {
    EXPECT_EQ(gatt::service.toString(), "DD68EE22-80DE-405E-9088-15E661CF85ED");
    EXPECT_EQ(gatt::request.toString(), "DD68EE23-80DE-405E-9088-15E661CF85ED");
    EXPECT_EQ(gatt::reply.toString(), "DD68EE24-80DE-405E-9088-15E661CF85ED");
    EXPECT_EQ(gatt::signal.toString(), "DD68EE25-80DE-405E-9088-15E661CF85ED");
    EXPECT_EQ(gatt::input.toString(), "DD68EE26-80DE-405E-9088-15E661CF85ED");
}

} // namespace
} // namespace tovali
