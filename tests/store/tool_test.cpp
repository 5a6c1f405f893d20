// zenthra-store run in-process: the contract scripts rely on.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/store/fixture.h"
#include "tests/store/messages.h"
#include "tools/zenthra-store/cli.h"

namespace store::testing {
namespace {

struct Result {
  int status;
  std::string out, err;
};

Result Tool(std::vector<std::string> args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  int status = cli::Run(args, in, out, err);
  return {status, out.str(), err.str()};
}

// Bad input: non-zero, one line on stderr naming the problem, no output.
void ExpectRefused(const Result& r, const std::string& mentions) {
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(r.out.empty()) << r.out;
  ASSERT_FALSE(r.err.empty());
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_NE(r.err.find(mentions), std::string::npos) << r.err;
}

class ToolTest : public StoreTest {};

TEST_F(ToolTest, ProvisionCreatesARootAndRefusesAnExistingOne) {
  std::string dir = (root_.parent_path() / "second").string();
  Result r = Tool({"--root", dir, "provision", "--computer", "MX2", "--domain", "Corp.Example"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("SystemMailbox{"), std::string::npos);
  EXPECT_EQ(ReadMachine(dir).DnsName(), "mx2.corp.example");
  ExpectRefused(Tool({"--root", dir, "provision", "--computer", "MX3", "--domain", "x.org"}),
                "already provisioned");
  EXPECT_EQ(ReadMachine(dir).computer, "mx2");
  std::string bad = (root_.parent_path() / "bad").string();
  ExpectRefused(Tool({"--root", bad, "provision", "--computer", "a b", "--domain", "x.org"}),
                "computer name");
  ExpectRefused(Tool({"--root", bad, "provision", "--computer", "a", "--domain", "x..org"}),
                "domain name");
  ExpectRefused(Tool({"--root", bad, "provision", "--computer", "a"}), "--domain");
  ExpectRefused(Tool({"--root", bad, "provision", "--computer", "a", "--domain", "x.org", "--users",
                      bad + ".ldif"}),
                bad + ".ldif: no such file or folder");
  EXPECT_FALSE(std::filesystem::exists(bad));
}

TEST_F(ToolTest, MailboxDeliverLsShowPutRm) {
  // --root wins over ZENTHRA_ROOT.
  core::SetServerRoot("/nonexistent");
  std::vector<std::string> root{"--root", root_.string()};
  auto run = [&](std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), root.begin(), root.end());
    return Tool(args, input);
  };
  Result add = run({"mailbox", "add", "hm", "--inbox-name", "Posteingang"});
  ASSERT_EQ(add.status, 0) << add.err;
  std::string mbx = std::string(kMbxUrl) + "/hm";
  EXPECT_EQ(add.out, mbx + "\n");
  ExpectRefused(run({"mailbox", "add", "HM"}), "already exists");

  Result d = run({"deliver", "hm"}, MessageWithAttachment("Hallo", "a.txt"));
  ASSERT_EQ(d.status, 0) << d.err;
  EXPECT_EQ(d.out, mbx + "/Posteingang/Hallo.EML\n");
  ExpectRefused(run({"deliver", "hm"}, ""), "empty");
  ExpectRefused(run({"deliver", "nobody"}, "x"), "nobody");
  std::string file = (root_.parent_path() / "m.eml").string();
  std::ofstream(file, std::ios::binary) << PlainMessage("From file");
  EXPECT_EQ(run({"deliver", "hm", file}).out, mbx + "/Posteingang/From file.EML\n");
  ExpectRefused(run({"deliver", "hm", file + ".missing"}),
                file + ".missing: no such file or folder");
  ExpectRefused(run({"deliver", "hm", file + "/m.eml"}),
                file + "/m.eml: a part of the path is not a folder");
  ExpectRefused(run({"deliver", "hm", root_.string()}), root_.string());

  Result put = run({"put", mbx + "/Posteingang/Zenthra.reg", "DAV:ishidden=true",
                    "urn:x:priority=65500", "urn:x:n:int=-3", "urn:x:eq=a=b"});
  ASSERT_EQ(put.status, 0) << put.err;
  Result ls = run({"ls", "http://mail01.example.com/exadmin/example.com/mbx/hm/posteingang"});
  EXPECT_EQ(ls.out, "message\tFrom file.EML\nmessage\tHallo.EML\nitem\tZenthra.reg\thidden\n");
  Result show = run({"show", mbx + "/Posteingang/zenthra.reg"});
  EXPECT_NE(show.out.find("DAV:ishidden = True\n"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("urn:x:priority = 65500\n"), std::string::npos);
  EXPECT_NE(show.out.find("urn:x:eq = a=b\n"), std::string::npos);
  Item reg = store_->Resolve(mbx + "/Posteingang/Zenthra.reg");
  for (auto& [name, value] : store_->Properties(reg.id)) {
    if (name == "urn:x:priority") {
      EXPECT_EQ(value.Type(), core::VarType::String);
    }
    if (name == "urn:x:n") {
      EXPECT_EQ(value, core::Variant(std::int32_t{-3}));
    }
  }
  Result raw = run({"show", "--raw", mbx + "/Posteingang/Hallo.EML"});
  EXPECT_EQ(raw.out, MessageWithAttachment("Hallo", "a.txt"));
  show = run({"show", mbx + "/Posteingang/Hallo.EML"});
  EXPECT_NE(show.out.find("urn:schemas:httpmail:hasattachment = True\n"), std::string::npos);

  // Bad put input writes nothing.
  ExpectRefused(run({"put", mbx + "/Posteingang/New", "urn:x:n:int=12x"}), "12x");
  ExpectRefused(run({"put", mbx + "/Posteingang/New", "novalue"}), "NAME=VALUE");
  ExpectRefused(run({"put", mbx + "/Missing/New", "a=b"}), "Missing");
  EXPECT_FALSE(store_->Find(store_->Names(mbx + "/Posteingang/New")));
  // put --folder creates a folder or updates one without touching its content.
  EXPECT_EQ(run({"put", "--folder", mbx + "/Posteingang", "urn:x:f=1"}).status, 0);
  EXPECT_EQ(store_->Children(store_->Resolve(mbx + "/Posteingang").id).size(), 3u);

  EXPECT_EQ(run({"rm", mbx + "/Posteingang/Zenthra.reg"}).status, 0);
  ExpectRefused(run({"rm", mbx + "/Posteingang/Zenthra.reg"}), "Zenthra.reg");
  ExpectRefused(run({"rm", mbx}), "mailboxes");
  ExpectRefused(run({"ls", "http://elsewhere/exadmin/example.com/mbx/hm"}), "elsewhere");
  ExpectRefused(run({"ls", "not a url"}), "not a url");
  ExpectRefused(run({"frobnicate"}), "frobnicate");
  ExpectRefused(run({"ls"}), "URL");
  ExpectRefused(run({"ls", mbx, "--bogus"}), "--bogus");
}

TEST_F(ToolTest, NoRootIsAClearError) {
  ::unsetenv(core::kServerRootVariable);
  ExpectRefused(Tool({"ls", kMbxUrl}), "ZENTHRA_ROOT");
  ExpectRefused(Tool({}), "command");
}

}  // namespace
}  // namespace store::testing
