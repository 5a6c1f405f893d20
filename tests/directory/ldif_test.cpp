#include "platform/directory/ldif.h"

#include <gtest/gtest.h>

#include "platform/directory/errors.h"
#include "tests/directory/expect_error.h"

namespace directory {
namespace {

TEST(Ldif, ReadsRecordsWithFoldedLinesCommentsAndBase64) {
  const char* text =
      "version: 1\r\n"
      "# the users of example.com\r\n"
      "#  a comment that goes\r\n"
      "  on and on\r\n"
      "\r\n"
      "dn: CN=John Doe,CN=Users,\r\n"
      " DC=example,DC=com\r\n"
      "objectClass: top\r\n"
      "objectClass: user\r\n"
      "description: first line of a long\r\n"
      "  description\r\n"
      "mail:   john@example.com\r\n"
      "\r\n"
      "\r\n"
      "dn:: Q049w4lsb2RpZSDDiW1lcnksQ049VXNlcnMsREM9ZXhhbXBsZSxEQz1jb20=\n"
      "cn:: w4lsb2RpZSDDiW1lcnk=\n"
      "# comments inside a record are skipped\n"
      "msExchMailboxGuid:: AAECA/8=\n"
      "CN;lang-de: Elodie\n"
      "OBJECTCLASS: person\n"
      "OBJECTCLASS: user\n";
  std::vector<Entry> e = ParseLdif(text, "users.ldif");
  ASSERT_EQ(e.size(), 2u);

  EXPECT_EQ(e[0].dn, "CN=John Doe,CN=Users,DC=example,DC=com");
  ASSERT_NE(e[0].Find("OBJECTCLASS"), nullptr);
  EXPECT_EQ(e[0].Find("objectclass")->values, (std::vector<std::string>{"top", "user"}));
  // A continuation drops exactly its one leading blank.
  EXPECT_EQ(e[0].Find("description")->values[0], "first line of a long description");
  // Blanks after the colon are not part of the value.
  EXPECT_EQ(e[0].Find("mail")->values[0], "john@example.com");

  EXPECT_EQ(e[1].dn, "CN=\xC3\x89lodie \xC3\x89mery,CN=Users,DC=example,DC=com");
  EXPECT_EQ(e[1].Find("cn")->values[0], "\xC3\x89lodie \xC3\x89mery");
  EXPECT_EQ(e[1].Find("msExchMailboxGuid")->values[0], std::string("\x00\x01\x02\x03\xFF", 5));
  // Attribute options stay part of the description; names merge by case.
  EXPECT_EQ(e[1].Find("cn;lang-de")->values[0], "Elodie");
  EXPECT_EQ(e[1].Find("objectClass")->values.size(), 2u);
}

TEST(Ldif, AcceptsTheRootEntryAndAnEmptyFile) {
  std::vector<Entry> e = ParseLdif("dn:\ndnsHostName: gc.example.com\n", "f");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].dn, "");
  EXPECT_TRUE(ParseLdif("", "f").empty());
  EXPECT_TRUE(ParseLdif("version: 1\n\n# nothing\n", "f").empty());
}

TEST(Ldif, NamesTheLineOfEveryFault) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"dn: CN=a,DC=x\ncn a\n", "users.ldif line 2: expected \"name: value\""},
      {"cn: a\n", "line 1: a record must begin with \"dn:\""},
      {" continued\n", "line 1: a continuation line"},
      {"dn: CN=a,DC=x\n\n continued\n", "line 3: a continuation line"},
      {"dn: CN=a,DC=x\ncn:: AB$=\n", "line 2: the value of \"cn\" is not valid base64"},
      {"dn: CN=a,DC=x\ncn:: QUJD\n RA\n", "line 2: the value of \"cn\" is not valid base64"},
      {"dn: CN=a,DC=x\nphoto:< file:///etc/passwd\n", "line 2: values read from a URL"},
      {"dn: CN=a,DC=x\nchangetype: delete\n", "line 2: change records are not accepted"},
      {"version: 2\n", "line 1: only LDIF version 1"},
      {"dn: CN=a,DC=x\n\ndn: cn=A, dc=X\n", "line 3: \"cn=A, dc=X\" names a record given before"},
      {"dn: CN=a,DC=x\ndn: CN=b,DC=x\n", "line 2: a second \"dn:\""},
      {"dn: not a name\n", "line 1: \"not a name\" is not a distinguished name"},
      {"dn: CN=a,DC=x\n1bad: v\n", "line 2: \"1bad\" is not an attribute name"},
      {"dn: CN=a,DC=x\ncn;: v\n", "line 2: \"cn;\" is not an attribute name"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_RUNTIME_ERROR(ParseLdif(c.text, "users.ldif"), err::kDecodingError, c.message);
  }
}

TEST(Ldif, DecodesBase64Strictly) {
  std::string out;
  EXPECT_TRUE(DecodeBase64("", out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(DecodeBase64("TWFu", out));
  EXPECT_EQ(out, "Man");
  EXPECT_TRUE(DecodeBase64("TWE=", out));
  EXPECT_EQ(out, "Ma");
  EXPECT_TRUE(DecodeBase64("TQ==", out));
  EXPECT_EQ(out, "M");
  EXPECT_FALSE(DecodeBase64("TQ", out));        // padding missing
  EXPECT_FALSE(DecodeBase64("T===", out));      // too much padding
  EXPECT_FALSE(DecodeBase64("TQ==TWFu", out));  // data after padding
  EXPECT_FALSE(DecodeBase64("TW u", out));
}

}  // namespace
}  // namespace directory
