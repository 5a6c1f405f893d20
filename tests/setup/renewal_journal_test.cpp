// The batch renewal's journal: what it keeps, how it is written and removed,
// and what it makes of a damaged file.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "setup/RenewalJournal.h"
#include "tests/support/small_fs.h"

namespace {

namespace fs = std::filesystem;
using RenewalJournal::Renewal;

class RenewalJournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zenthra-journal-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

const std::vector<Renewal> kRenewals = {
    {"StoreEvents/GlobalEvents", "SystemMailbox{1} / SRV1 / SystemMailbox{1}@example.com / x"},
    {"inbox", "John Doe / SRV1 / jdoe@example.com / jdoe"},
    // Directory text may hold anything; it must come back as it was.
    {"inbox", "Tab\there \\ back\\slash / SRV1 / \r\nline@x / a\\t"},
};

TEST_F(RenewalJournalTest, WhatIsWrittenIsReadBackAndAnEmptyListRemovesTheFile) {
  EXPECT_TRUE(RenewalJournal::Read(root_).empty());  // none yet
  RenewalJournal::Write(root_, kRenewals);
  EXPECT_EQ(RenewalJournal::Read(root_), kRenewals);
  const fs::path file = RenewalJournal::JournalFile(root_);
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(file.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

  RenewalJournal::Write(root_, {kRenewals[1]});
  EXPECT_EQ(RenewalJournal::Read(root_), std::vector<Renewal>{kRenewals[1]});
  RenewalJournal::Write(root_, {});
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(RenewalJournal::Read(root_).empty());
  RenewalJournal::Write(root_, {});  // nothing to remove is no error
}

TEST_F(RenewalJournalTest, ADamagedJournalIsRefusedNamingTheFileAndLine) {
  const fs::path file = RenewalJournal::JournalFile(root_);
  fs::create_directories(file.parent_path());
  for (const std::string& text :
       {std::string("inbox\tok\nno tab here\n"), std::string("inbox\tok\ninbox\tcut off"),
        std::string("inbox\tok\ninbox\tbad \\q escape\n"), std::string("inbox\tok\n\t\n")}) {
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    try {
      RenewalJournal::Read(root_);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const core::RuntimeError& e) {
      EXPECT_EQ(e.Number(), 13);
      EXPECT_EQ(e.Description(),
                file.string() + ", line 2: not a registration (folder, tab, list entry)");
    }
  }
}

TEST_F(RenewalJournalTest, AFailedWriteNamesTheFileAndTheCauseAndKeepsTheOldJournal) {
  zenthra::testing::SmallFs disk;
  if (!disk.Available()) GTEST_SKIP() << disk.SkipReason();
  RenewalJournal::Write(disk.path(), kRenewals);
  const fs::path file = RenewalJournal::JournalFile(disk.path());

  disk.Fill();
  try {
    RenewalJournal::Write(disk.path(), {kRenewals[0]});
    ADD_FAILURE() << "written on a full disk";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Description(), "Cannot write " + file.string() + ": disk full");
  }
  disk.FreeSpace();
  EXPECT_EQ(RenewalJournal::Read(disk.path()), kRenewals);

  ASSERT_TRUE(disk.ReadOnly(true));
  try {
    RenewalJournal::Write(disk.path(), {});
    ADD_FAILURE() << "removed on a read-only file system";
  } catch (const core::RuntimeError& e) {
    EXPECT_EQ(e.Description(), "Cannot remove " + file.string() + ": read-only file system");
  }
  EXPECT_EQ(RenewalJournal::Read(disk.path()), kRenewals);
  ASSERT_TRUE(disk.ReadOnly(false));
}

// Random entries survive the round trip; random damage to a journal's text
// is read or refused with error 13, never anything else.
TEST(RenewalJournalFuzzTest, RoundTripsAnythingAndRefusesDamageCleanly) {
  std::mt19937 rng(1207);
  // Bytes that matter to the format, plain text, UTF-8, bytes that are no
  // UTF-8, and a NUL.
  std::string alphabet = "ab /\\\t\r\nnrt{}@\xC3\xA9\x80\xFF";
  alphabet.push_back('\0');
  auto random_text = [&](std::size_t max) {
    std::string s(1 + rng() % max, ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  const int rounds =
      std::getenv("ZENTHRA_FUZZ_ROUNDS") ? std::atoi(std::getenv("ZENTHRA_FUZZ_ROUNDS")) : 20000;
  for (int round = 0; round < rounds; ++round) {
    std::vector<Renewal> renewals(rng() % 4);
    for (Renewal& r : renewals) r = {random_text(12), random_text(40)};
    const std::string text = RenewalJournal::Format(renewals);
    ASSERT_EQ(RenewalJournal::Parse(text, "j"), renewals) << text;

    std::string damaged = text;
    for (int k = 1 + rng() % 3; k > 0; --k) {
      const std::size_t at = damaged.empty() ? 0 : rng() % (damaged.size() + 1);
      if (rng() % 2 == 0 && at < damaged.size()) {
        damaged.erase(at, 1 + rng() % 4);
      } else {
        damaged.insert(at, 1, alphabet[rng() % alphabet.size()]);
      }
    }
    try {
      for (const Renewal& r : RenewalJournal::Parse(damaged, "j")) {
        ASSERT_FALSE(r.folder.empty());
        ASSERT_FALSE(r.entry.empty());
      }
    } catch (const core::RuntimeError& e) {
      ASSERT_EQ(e.Number(), 13) << e.Description();
    }
  }
}

}  // namespace
