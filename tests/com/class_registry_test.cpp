#include "platform/com/class_registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/core/error.h"
#include "platform/core/server_root.h"
#include "tests/com/temp_root.h"
#include "tests/support/small_fs.h"

namespace {

using com::GUID;

const GUID kA = GUID::Parse("{11111111-2222-3333-4444-555555555555}");
const GUID kB = GUID::Parse("{11111111-2222-3333-4444-666666666666}");

class ClassRegistryTest : public comtest::TempRootTest {};

TEST_F(ClassRegistryTest, RegistersLooksUpAndReplaces) {
  EXPECT_TRUE(com::List().empty());
  EXPECT_FALSE(com::LookupProgId("Zenthra.ZenthraCls"));

  com::RegisterClass("Zenthra.ZenthraCls", kA, "/srv/Zenthra.dll", "Apartment");
  com::RegisterClass("Other.Cls", kB, "/srv/Other.dll", "Both");
  auto e = com::LookupProgId("zenthra.zenthracls");  // ProgIDs ignore case
  ASSERT_TRUE(e);
  EXPECT_EQ(e->progId, "Zenthra.ZenthraCls");
  EXPECT_EQ(e->clsid, kA);
  EXPECT_EQ(e->libraryPath, "/srv/Zenthra.dll");
  EXPECT_EQ(e->threadingModel, "Apartment");
  ASSERT_TRUE(com::LookupClsid(kB));
  EXPECT_EQ(com::LookupClsid(kB)->progId, "Other.Cls");

  // Re-registering a ProgID (any case) or a class id replaces the one entry.
  com::RegisterClass("ZENTHRA.ZenthraCls", kA, "/new/Zenthra.dll", "Apartment");
  com::RegisterClass("Renamed.Cls", kB, "/srv/Other.dll", "Free");
  auto all = com::List();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(com::LookupProgId("Zenthra.ZenthraCls")->libraryPath, "/new/Zenthra.dll");
  EXPECT_FALSE(com::LookupProgId("Other.Cls"));
  EXPECT_EQ(com::LookupClsid(kB)->progId, "Renamed.Cls");

  // The file survives in the server root, readable as text.
  EXPECT_TRUE(std::filesystem::exists(root_ / "com" / "classes.tsv"));

  EXPECT_TRUE(com::UnregisterClass(kA));
  EXPECT_FALSE(com::UnregisterClass(kA));
  EXPECT_FALSE(com::LookupProgId("Zenthra.ZenthraCls"));
  EXPECT_EQ(com::List().size(), 1u);
}

TEST_F(ClassRegistryTest, RejectsValuesThatCannotBeStoredAndKeepsTheTable) {
  com::RegisterClass("Keep.Cls", kA, "/srv/Keep.dll", "Apartment");
  auto expectInvalid = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const core::RuntimeError& e) {
      EXPECT_EQ(e.Number(), core::err::kInvalidProcedureCall);
    }
  };
  expectInvalid([] { com::RegisterClass("", kB, "/x.dll", "Apartment"); });
  expectInvalid([] { com::RegisterClass("Bad\tName", kB, "/x.dll", "Apartment"); });
  expectInvalid([] { com::RegisterClass("Bad.Cls", kB, "/x\n.dll", "Apartment"); });
  expectInvalid([] { com::RegisterClass("Bad.Cls", kB, "/x.dll", "apartment"); });
  expectInvalid([] { com::RegisterClass("Bad.Cls", kB, "/x.dll", ""); });
  ASSERT_EQ(com::List().size(), 1u);
  EXPECT_EQ(com::List()[0].progId, "Keep.Cls");
}

TEST_F(ClassRegistryTest, DamagedTableIsReportedNotGuessed) {
  std::filesystem::create_directories(root_ / "com");
  std::ofstream(root_ / "com" / "classes.tsv")
      << "Good.Cls\t" << kA.ToString() << "\t/a.dll\tApartment\nbroken line\n";
  try {
    com::List();
    FAIL() << "no error";
  } catch (const core::RuntimeError& e) {
    EXPECT_NE(e.Description().find("line 2"), std::string::npos) << e.Description();
  }
  // A writer must not silently drop the damaged table either.
  EXPECT_THROW(com::RegisterClass("New.Cls", kB, "/b.dll", "Apartment"), core::RuntimeError);
}

TEST_F(ClassRegistryTest, ConcurrentWritersFromSeveralProcessesLoseNothing) {
  constexpr int kProcesses = 4, kEach = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      for (int i = 0; i < kEach; ++i) {
        try {
          GUID g = kA;
          g.Data2 = static_cast<std::uint16_t>(p);
          g.Data3 = static_cast<std::uint16_t>(i);
          com::RegisterClass("P" + std::to_string(p) + ".C" + std::to_string(i), g, "/l.dll",
                             "Apartment");
        } catch (...) {
          rc = 1;
        }
      }
      ::_exit(rc);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(com::List().size(), static_cast<std::size_t>(kProcesses * kEach));
}

TEST_F(ClassRegistryTest, OnAFullDiskAChangeSaysSoAndTheTableStaysAsItWas) {
  zenthra::testing::SmallFs disk;
  if (!disk.Available()) GTEST_SKIP() << disk.SkipReason();
  const std::filesystem::path root = disk.path() / "root";
  core::SetServerRoot(root);
  com::RegisterClass("Keep.Cls", kA, "/srv/Keep.dll", "Apartment");
  disk.Fill();
  try {
    com::RegisterClass("New.Cls", kB, "/srv/New.dll", "Apartment");
    ADD_FAILURE() << "registered on a full disk";
  } catch (const core::RuntimeError& e) {
    EXPECT_NE(e.Description().find((root / "com" / "classes.tsv").string()), std::string::npos)
        << e.Description();
    EXPECT_NE(e.Description().find("disk full"), std::string::npos) << e.Description();
  }
  EXPECT_THROW(com::CheckWritable(), core::RuntimeError);
  disk.FreeSpace();
  ASSERT_EQ(com::List().size(), 1u);
  EXPECT_EQ(com::List()[0].progId, "Keep.Cls");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root / "com"), {}), 2)
      << "a temporary file was left behind";
  core::SetServerRoot(root_);
}

}  // namespace
