#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/com/activation.h"
#include "platform/com/class_registry.h"
#include "platform/complus/catalog.h"
#include "platform/core/terminal.h"
#include "platform/core/text.h"
#include "tests/complus/temp_root.h"
#include "tests/complus/test_probe.h"
#include "tools/zenthra-catalog/escape.h"

extern char** environ;

namespace {

using complus::CatalogCollectionPtr;
using complus::COMAdminCatalog;
using core::Variant;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

class ToolTest : public catalogtest::TempRootTest {
 protected:
  void TearDown() override {
    com::FreeUnusedLibraries();
    std::error_code ec;
    std::filesystem::remove_all(scratch(), ec);
    TempRootTest::TearDown();
  }

  // Runs the tool with args; ZENTHRA_ROOT is whatever this process has.
  Result Tool(std::vector<std::string> args) {
    const std::string outPath = (scratch() / "out").string();
    const std::string errPath = (scratch() / "err").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    args.insert(args.begin(), ZENTHRA_CATALOG_TOOL);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Result r;
    if (posix_spawn(&pid, ZENTHRA_CATALOG_TOOL, &actions, nullptr, argv.data(), environ) == 0) {
      int status = 0;
      if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    r.out = catalogtest::ReadBytes(outPath);
    r.err = catalogtest::ReadBytes(errPath);
    return r;
  }

  // Outside the server root, so the tool's output files never count as a change.
  std::filesystem::path scratch() {
    std::filesystem::path p = root_.string() + "-out";
    std::filesystem::create_directories(p);
    return p;
  }

  // The tool's own view of the catalog, to compare before and after.
  std::string Listing() { return Tool({"list"}).out; }

  // A failure: exit status, one line on stderr, nothing on stdout, catalog unchanged.
  void ExpectRefused(const std::vector<std::string>& args, int status, const std::string& says) {
    const std::string before = Listing();
    Result r = Tool(args);
    EXPECT_EQ(r.status, status) << args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    EXPECT_EQ(r.err.rfind("zenthra-catalog: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    EXPECT_EQ(Listing(), before) << "changed by " << args[0];
  }
};

TEST_F(ToolTest, InstallSetShowListAndDeleteFromAScript) {
  Result r = Tool({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("install APP LIBRARY"), std::string::npos);
  r = Tool({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");

  r = Tool({"install", "Zenthra", CATALOG_TEST_COMPONENT});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("installed CatalogTest.Sink in Zenthra {"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("installed CatalogTest.Plain"), std::string::npos) << r.out;
  EXPECT_TRUE(com::LookupProgId(catalogtest::kSinkProgId));
  // Installing again goes into the same application.
  ASSERT_EQ(Tool({"install", "ZENTHRA", CATALOG_TEST_COMPONENT}).status, 0);

  EXPECT_EQ(Tool({"set", "zenthra", "catalogtest.sink", "ConstructionEnabled", "TRUE"}).status, 0);
  r = Tool({"set", "Zenthra", catalogtest::kSinkProgId, "ConstructorString",
            "Inbox\\Spam\\rQuarantined Attachment.txt\\r65500"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");

  {
    COMAdminCatalog catalog;
    CatalogCollectionPtr apps = catalog.GetCollection("Applications");
    apps->Populate();
    ASSERT_EQ(apps->Count(), 1);
    CatalogCollectionPtr comps = apps->GetCollection("Components", Variant(apps->Item(0)->Key()));
    comps->Populate();
    ASSERT_EQ(comps->Count(), 2);
    EXPECT_EQ(comps->Item(0)->Value("ConstructionEnabled"), Variant(true));
    EXPECT_EQ(comps->Item(0)->Value("ConstructorString"),
              Variant("Inbox\\Spam\rQuarantined Attachment.txt\r65500"));
    EXPECT_EQ(comps->Item(1)->Value("ConstructionEnabled"), Variant(false));
  }

  r = Tool({"show", "Zenthra"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("Application: Zenthra\n  ID: {", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("  Identity: Interactive User\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("  Component: CatalogTest.Sink\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    ConstructionEnabled: true\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    ConstructorString: Inbox\\Spam\\rQuarantined Attachment.txt\\r65500\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  EXPECT_EQ(Tool({"list"}).out, r.out) << "one application: list shows the same";

  r = Tool({"delete", "Zenthra"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Listing(), "");
  EXPECT_FALSE(com::LookupProgId(catalogtest::kSinkProgId));
}

TEST_F(ToolTest, RootOptionWinsOverTheEnvironment) {
  std::filesystem::path other = root_ / "other-server";
  std::filesystem::create_directories(other);
  Result r = Tool({"--root", other.string(), "install", "App", CATALOG_TEST_COMPONENT});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(other / "complus" / "catalog.db"));
  EXPECT_FALSE(std::filesystem::exists(root_ / "complus" / "catalog.db"));
  EXPECT_NE(Tool({"--root=" + other.string(), "list"}).out.find("Application: App\n"),
            std::string::npos);
  EXPECT_EQ(Tool({"list"}).out, "");
}

TEST_F(ToolTest, PasswordNeverAppearsInTheOutput) {
  {
    COMAdminCatalog catalog;
    CatalogCollectionPtr apps = catalog.GetCollection("Applications");
    apps->Populate();
    auto app = apps->Add();
    app->Value("Name", Variant("Zenthra"));
    app->Value("Identity", Variant("EXAMPLE\\svc"));
    app->Value("Password", Variant("hunter2-is-the-secret"));
    apps->SaveChanges();
  }
  Result r = Tool({"list"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Identity: EXAMPLE\\svc\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("hunter2"), std::string::npos);
  EXPECT_EQ(r.out.find("Password"), std::string::npos);
  EXPECT_EQ(r.out.find("$y$"), std::string::npos) << "not even the hash";
  EXPECT_EQ(Tool({"show", "Zenthra"}).out, r.out);
}

TEST_F(ToolTest, BadInputIsOneLineANonZeroExitAndNoChange) {
  ASSERT_EQ(Tool({"install", "Zenthra", CATALOG_TEST_COMPONENT}).status, 0);
  const std::string missing = (root_ / "Missing.dll").string();

  ExpectRefused({}, 2, "no command");
  ExpectRefused({"frobnicate"}, 2, "unknown command");
  ExpectRefused({"--colour", "list"}, 2, "unknown option");
  ExpectRefused({"list", "extra"}, 2, "usage: zenthra-catalog list");
  ExpectRefused({"show"}, 2, "show APP");
  ExpectRefused({"show", "Nobody"}, 1, "no application \"Nobody\"");
  ExpectRefused({"install", "Zenthra"}, 2, "install APP LIBRARY");
  ExpectRefused({"install", "New", missing}, 1, missing);
  ExpectRefused({"install", "{00000000-0000-0000-0000-0000000000AA}", CATALOG_TEST_COMPONENT}, 1,
                "no application");
  ExpectRefused({"install", "", CATALOG_TEST_COMPONENT}, 2, "empty");
  ExpectRefused({"set", "Zenthra", "CatalogTest.Sink", "ConstructionEnabled"}, 2, "set APP PROGID");
  ExpectRefused({"set", "Zenthra", "CatalogTest.Sink", "ConstructionEnabled", "yes"}, 2,
                "true or false");
  ExpectRefused({"set", "Zenthra", "CatalogTest.Sink", "DLL", "/tmp/x.so"}, 2, "\"DLL\"");
  ExpectRefused({"set", "Zenthra", "CatalogTest.Sink", "Colour", "red"}, 2, "\"Colour\"");
  ExpectRefused({"set", "Zenthra", "CatalogTest.Nope", "ConstructorString", "x"}, 1,
                "no component \"CatalogTest.Nope\"");
  ExpectRefused({"set", "Nobody", "CatalogTest.Sink", "ConstructorString", "x"}, 1, "Nobody");
  ExpectRefused({"delete"}, 2, "delete APP");
  ExpectRefused({"delete", "Nobody"}, 1, "Nobody");
  ExpectRefused({"--root", (root_ / "absent").string(), "list"}, 1, "absent");
  EXPECT_FALSE(std::filesystem::exists(root_ / "absent"));

  // A library that fails half-way leaves no application behind.
  ExpectRefused({"install", "Broken", CATALOG_TEST_NO_CLASS}, 1, "catalog_test_no_class");

  ::unsetenv("ZENTHRA_ROOT");
  Result r = Tool({"list"});
  core::SetServerRoot(root_);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("ZENTHRA_ROOT"), std::string::npos) << r.err;
}

TEST(EscapeTest, ValuesRoundTripAndCommonPathsStayReadable) {
  using zenthra_catalog::Escape;
  using zenthra_catalog::Unescape;
  EXPECT_EQ(Escape("Spam\rQuarantined Attachment.txt\r65500"),
            "Spam\\rQuarantined Attachment.txt\\r65500");
  EXPECT_EQ(Escape("Inbox\\Spam"), "Inbox\\Spam");
  EXPECT_EQ(Escape("DOMAIN\\user"), "DOMAIN\\user");
  EXPECT_EQ(Escape("Inbox\\reports"), "Inbox\\\\reports");
  EXPECT_EQ(Escape(std::string("a\x1b\tb\n", 5)), "a\\x1B\\tb\\n");
  EXPECT_EQ(Unescape("Inbox\\Spam\\rMarker"), "Inbox\\Spam\rMarker");
  EXPECT_EQ(Unescape("\\x4"), "\\x4") << "incomplete escapes stand for themselves";
  for (std::string s :
       {std::string("plain"), std::string("\\"), std::string("a\\"), std::string("\\\\"),
        std::string("\\\r"), std::string("\\x41"), std::string("\\\\x41\\"),
        std::string("x\\\x01y"), std::string("\r\n\t\\r\\n\\t"),
        std::string("\xc3\xa9t\xc3\xa9\\\xc3\xa9")}) {
    EXPECT_EQ(Unescape(Escape(s)), s) << Escape(s);
    EXPECT_EQ(Escape(s).find_first_of("\r\n"), std::string::npos);
  }
}

TEST(EscapeTest, NothingATerminalActsOnIsWrittenAndAllOfItReadsBack) {
  using zenthra_catalog::Escape;
  using zenthra_catalog::Unescape;
  // A title change and a screen clear, a C1 CSI, a right-to-left override, a
  // stray continuation byte, and a backslash before each of them.
  const std::string hostile =
      "\x1b]0;owned\x07\x1b[2J \xc2\x9b"
      "31m \xe2\x80\xae"
      "txt.exe \x80 \\\xc2\x9b";
  const std::string e = Escape(hostile);
  EXPECT_EQ(e,
            "\\x1B]0;owned\\x07\\x1B[2J \\xC2\\x9B31m \\xE2\\x80\\xAEtxt.exe \\x80 "
            "\\\\\\xC2\\x9B");
  EXPECT_EQ(Unescape(e), hostile);
  // What is left for a terminal is plain text and backslashes.
  EXPECT_EQ(core::TerminalSafe(e), core::Replace(e, "\\", "\\\\"));
  EXPECT_EQ(Escape("Boîte de réception\\Spam"), "Boîte de réception\\Spam");
}

TEST_F(ToolTest, StoredTextReachesTheTerminalEscaped) {
  {
    COMAdminCatalog catalog;
    CatalogCollectionPtr apps = catalog.GetCollection("Applications");
    apps->Populate();
    apps->Add()->Value("Name", Variant("Zen\x1b]0;owned\x07thra"));
    apps->SaveChanges();
  }
  Result r = Tool({"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Application: Zen\\x1B]0;owned\\x07thra"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos);

  // Refusals quote the name they were given, escaped too.
  r = Tool({"show", "\x1b[2J\xe2\x80\xae"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("\\x1B[2J\\u{202E}"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
}

}  // namespace
