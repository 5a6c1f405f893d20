// RenewalJournal: the registrations a batch renewal has yet to write again.
//
// Batch mode removes every registration it found and then writes each one
// again. A run that dies in between (killed, the machine lost power) would
// leave them removed, and the next run, which renews only what it finds,
// would never know. So before its first removal a batch run records, durably,
// every registration it is about to renew; once they are written again it
// keeps only those it could not write, and removes the journal when none are
// left. The next run reads what is left and writes those registrations again.
//
// The journal is a file of the server root, setup/renewal-journal, one
// registration a line: its folder ("inbox" or "StoreEvents/GlobalEvents"),
// a tab, and its list entry, with backslash, tab, CR and LF spelt \\ \t \r \n.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace RenewalJournal {

// One registration: the folder it lies in and the mailbox list entry it
// was found under.
struct Renewal {
  std::string folder;
  std::string entry;
  bool operator==(const Renewal& other) const = default;
};

std::filesystem::path JournalFile(const std::filesystem::path& root);

// Replaces the journal with renewals, or removes it when there are none,
// durably (a crash leaves the old journal or the new one). RuntimeError 76
// naming the file and the cause when that fails.
void Write(const std::filesystem::path& root, const std::vector<Renewal>& renewals);

// What an earlier run left; empty when there is no journal. RuntimeError 76
// naming the file when it cannot be read, 13 naming the line when a line is
// not a registration.
std::vector<Renewal> Read(const std::filesystem::path& root);

// The journal's text, and back; source names the text in errors.
std::string Format(const std::vector<Renewal>& renewals);
std::vector<Renewal> Parse(std::string_view text, const std::string& source);

}  // namespace RenewalJournal
