// zenthra-store never replaces a folder by surprise and never hands stored
// text to the terminal as it is.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/store/schema.h"
#include "tests/store/fixture.h"
#include "tests/store/messages.h"
#include "tools/zenthra-store/cli.h"

namespace store::testing {
namespace {

struct Result {
  int status;
  std::string out, err;
};

class StoreToolTest : public StoreTest {
 protected:
  Result Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--root", root_.string()});
    std::istringstream in(input);
    std::ostringstream out, err;
    int status = cli::Run(args, in, out, err);
    return {status, out.str(), err.str()};
  }

  std::size_t ChildCount(const std::string& url) {
    return store_->Children(store_->Resolve(url).id).size();
  }
};

TEST_F(StoreToolTest, PutReplacesAFolderOnlyWhenToldTo) {
  const std::string mbx = std::string(kMbxUrl) + "/hm";
  ASSERT_EQ(Run({"mailbox", "add", "hm"}).status, 0);
  ASSERT_EQ(Run({"deliver", "hm"}, PlainMessage("Hello")).status, 0);
  const std::string inbox = mbx + "/Inbox";

  // Without a word about folders, put refuses and the Inbox keeps its mail.
  Result r = Run({"put", inbox, "urn:x:note=1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_NE(r.err.find(inbox + " is a folder"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--replace-folder"), std::string::npos) << r.err;
  EXPECT_TRUE(store_->Resolve(inbox).is_folder);
  EXPECT_EQ(ChildCount(inbox), 1u);
  // And later mail still arrives there.
  ASSERT_EQ(Run({"deliver", "hm"}, PlainMessage("Later")).status, 0);
  EXPECT_EQ(ChildCount(inbox), 2u);

  // --folder sets a folder's properties and keeps what is in it.
  EXPECT_EQ(Run({"put", "--folder", inbox, "urn:x:note=1"}).status, 0);
  EXPECT_EQ(ChildCount(inbox), 2u);

  // --replace-folder replaces, here an empty folder by an item.
  ASSERT_EQ(Run({"put", "--folder", mbx + "/Empty"}).status, 0);
  EXPECT_NE(Run({"put", mbx + "/Empty", "a=b"}).status, 0);
  EXPECT_TRUE(store_->Resolve(mbx + "/Empty").is_folder);
  EXPECT_EQ(Run({"put", "--replace-folder", mbx + "/Empty", "a=b"}).status, 0);
  EXPECT_FALSE(store_->Resolve(mbx + "/Empty").is_folder);

  // and a folder by a new, empty one, when both flags say so.
  ASSERT_EQ(Run({"put", "--folder", mbx + "/Old"}).status, 0);
  ASSERT_EQ(Run({"put", mbx + "/Old/note", "a=b"}).status, 0);
  EXPECT_EQ(Run({"put", "--folder", "--replace-folder", mbx + "/Old"}).status, 0);
  EXPECT_EQ(ChildCount(mbx + "/Old"), 0u);
}

TEST_F(StoreToolTest, WhatIsPrintedFromStoredMailCarriesNoTerminalControls) {
  ASSERT_EQ(Run({"mailbox", "add", "hm"}).status, 0);
  // An encoded subject that would retitle and clear the administrator's
  // terminal, and switch the rest of the line right to left.
  const std::string subject =
      "=?UTF-8?B?" + std::string("G10wO293bmVkBxtbMkrigK5nbmlyb0Y=") + "?= Offer";
  Result d = Run({"deliver", "hm"}, PlainMessage(subject));
  ASSERT_EQ(d.status, 0) << d.err;
  const std::string url = d.out.substr(0, d.out.size() - 1);

  auto clean = [](const std::string& text) {
    for (unsigned char c : text) {
      if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) return false;
    }
    return text.find("\xe2\x80\xae") == std::string::npos;
  };
  Result show = Run({"show", url});
  ASSERT_EQ(show.status, 0) << show.err;
  EXPECT_TRUE(clean(show.out)) << show.out;
  EXPECT_NE(show.out.find("\\x1B]0;owned\\x07\\x1B[2J\\u{202E}"), std::string::npos) << show.out;

  Result ls = Run({"ls", std::string(kMbxUrl) + "/hm/Inbox"});
  ASSERT_EQ(ls.status, 0) << ls.err;
  EXPECT_TRUE(clean(ls.out)) << ls.out;
  Result list = Run({"mailbox", "list"});
  EXPECT_TRUE(clean(list.out)) << list.out;

  // An error quoting stored or given text is escaped as well.
  Result missing = Run({"show", std::string(kMbxUrl) + "/hm/Inbox/\x1b[2J.EML"});
  EXPECT_NE(missing.status, 0);
  EXPECT_TRUE(clean(missing.err)) << missing.err;
}

}  // namespace
}  // namespace store::testing
