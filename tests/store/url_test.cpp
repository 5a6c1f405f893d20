#include <gtest/gtest.h>

#include "platform/core/error.h"
#include "platform/store/url.h"

namespace store {
namespace {

const Machine kMachine{"mail01", "example.com"};

std::vector<std::string> Names(const std::string& url) { return ParseUrl(url, kMachine).names; }

std::int32_t ErrorOf(const std::string& url) {
  try {
    ParseUrl(url, kMachine);
  } catch (const core::RuntimeError& e) {
    EXPECT_NE(e.Description().find(url), std::string::npos) << e.Description();
    return e.Number();
  }
  return 0;
}

TEST(StoreUrl, BothFormsNameTheSameItem) {
  std::vector<std::string> expected{"example.com", "MBX", "jdoe", "Inbox", "a.EML"};
  EXPECT_EQ(Names("file://./backofficestorage/example.com/MBX/jdoe/Inbox/a.EML"), expected);
  std::vector<std::string> http =
      Names("http://mail01.example.com/exadmin/example.com/MBX/jdoe/Inbox/a.EML");
  EXPECT_EQ(http, expected);
  // The short name and any letter case reach this server too.
  EXPECT_EQ(Names("HTTP://MAIL01/ExAdmin/example.com/MBX/jdoe/Inbox/a.EML"), expected);
  EXPECT_EQ(Names("FILE://./BackOfficeStorage/example.com/MBX/jdoe/Inbox/a.EML"), expected);
}

TEST(StoreUrl, TrailingSlashAndEscapes) {
  EXPECT_EQ(Names("file://./backofficestorage/example.com/MBX/"),
            (std::vector<std::string>{"example.com", "MBX"}));
  // http URLs decode %-escapes, file URLs keep "%" literally.
  EXPECT_EQ(Names("http://mail01.example.com/exadmin/example.com/mbx/j%20doe/Sent%20Items").back(),
            "Sent Items");
  EXPECT_EQ(Names("file://./backofficestorage/example.com/mbx/jdoe/100%25").back(), "100%25");
}

TEST(StoreUrl, RejectsOtherHostsAndMalformedUrls) {
  EXPECT_EQ(ErrorOf("http://other.example.com/exadmin/example.com/mbx/jdoe"),
            core::err::kDbNotFound);
  EXPECT_EQ(ErrorOf("http://mail01.example.org/exadmin/example.com/mbx/jdoe"),
            core::err::kDbNotFound);
  for (const char* bad :
       {"", "jdoe", "file://./backofficestorage/", "file://./other/example.com",
        "file://./backofficestorage/example.com//jdoe",
        "file://./backofficestorage/example.com/MBX/../x",
        "file://./backofficestorage/example.com/MBX/a\\b",
        "http://mail01.example.com/public/example.com", "http:///exadmin/example.com",
        "http://mail01.example.com", "http://mail01.example.com/exadmin/example.com/mbx/%2",
        "http://mail01.example.com/exadmin/example.com/mbx/%zz",
        "http://mail01.example.com/exadmin/example.com/mbx/a%2Fb"}) {
    EXPECT_EQ(ErrorOf(bad), core::err::kAdoInvalidArgument) << bad;
  }
}

TEST(StoreUrl, FileUrlJoinsNames) {
  EXPECT_EQ(FileUrl({"example.com", "MBX", "jdoe"}),
            "file://./backofficestorage/example.com/MBX/jdoe");
  EXPECT_TRUE(LooksLikeStoreUrl("http://x/exadmin/y"));
  EXPECT_TRUE(LooksLikeStoreUrl("file://./BACKOFFICESTORAGE/y"));
  EXPECT_FALSE(LooksLikeStoreUrl("http://x/public/y"));
  EXPECT_FALSE(LooksLikeStoreUrl("LDAP://x"));
}

}  // namespace
}  // namespace store
