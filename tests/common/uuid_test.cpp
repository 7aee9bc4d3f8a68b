#include <gtest/gtest.h>

#include "common/uuid.hpp"

namespace tovali {
namespace {

TEST(Uuid, parse_eitherCase_formatsUpperCaseAndRefusesMalformedText) {
    auto uuid = Uuid::parse("dd68ee26-80de-405e-9088-15e661cf85ed");
    ASSERT_TRUE(uuid);
    EXPECT_EQ(uuid->toString(), "DD68EE26-80DE-405E-9088-15E661CF85ED");
    EXPECT_EQ(uuid->bytes()[0], 0xDD);
    EXPECT_EQ(uuid->bytes()[15], 0xED);
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

} // namespace
} // namespace tovali
