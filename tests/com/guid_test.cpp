#include "platform/com/guid.h"

#include <gtest/gtest.h>

#include "platform/core/error.h"

namespace {

using com::GUID;

TEST(GuidTest, ParsesAndFormatsTheRegistryForm) {
  GUID g = GUID::Parse("{CD000001-8B95-11D1-82DB-00C04FB1625D}");
  EXPECT_EQ(g.Data1, 0xCD000001u);
  EXPECT_EQ(g.Data2, 0x8B95u);
  EXPECT_EQ(g.Data3, 0x11D1u);
  EXPECT_EQ(g.Data4[0], 0x82);
  EXPECT_EQ(g.Data4[7], 0x5D);
  EXPECT_EQ(g.ToString(), "{CD000001-8B95-11D1-82DB-00C04FB1625D}");
  // Lower case and bare forms name the same identifier.
  EXPECT_EQ(GUID::Parse("cd000001-8b95-11d1-82db-00c04fb1625d"), g);
  EXPECT_EQ(GUID::Parse("{cd000001-8b95-11d1-82db-00c04fb1625d}"), g);
  EXPECT_NE(GUID::Parse("{CD000002-8B95-11D1-82DB-00C04FB1625D}"), g);
  EXPECT_EQ(GUID{}.ToString(), "{00000000-0000-0000-0000-000000000000}");
}

TEST(GuidTest, RejectsMalformedText) {
  for (const char* bad :
       {"", "{}", "{CD000001-8B95-11D1-82DB-00C04FB1625D", "CD000001-8B95-11D1-82DB-00C04FB1625D}",
        "{CD000001-8B95-11D1-82DB-00C04FB1625G}", "{CD0000018-B95-11D1-82DB-00C04FB1625D}",
        "(CD000001-8B95-11D1-82DB-00C04FB1625D)", "{CD000001-8B95-11D1-82DB-00C04FB1625D}x"}) {
    EXPECT_FALSE(GUID::TryParse(bad)) << bad;
  }
  try {
    GUID::Parse("not-a-guid");
    FAIL() << "no error";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Number(), core::err::kInvalidProcedureCall);
    EXPECT_NE(e.Description().find("not-a-guid"), std::string::npos);
  }
}

}  // namespace
