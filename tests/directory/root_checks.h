// What a provisioning left: no root, or a whole one. Shared by the
// functional tests and the kill test.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/directory/ldif.h"
#include "platform/directory/ldif_backend.h"
#include "platform/store/store.h"

namespace directory {

struct RootState {
  bool provisioned = false;  // the machine file is there
  bool whole = false;        // provisioned, and everything below checks out
  std::string problem;       // why not whole
};

// Inspects root: the machine file, the store with exactly one system
// mailbox and (when check_mailboxes) exactly the given other mailboxes, a
// users.ldif that reads and names the system mailbox, and modes 0700/0600
// on everything provisioning makes.
inline RootState InspectRoot(const std::filesystem::path& root, std::vector<std::string> aliases,
                             bool check_mailboxes = true) {
  namespace fs = std::filesystem;
  RootState s;
  std::error_code ec;
  s.provisioned = fs::exists(store::MachineFile(root), ec);
  auto fail = [&](std::string why) {
    s.problem = std::move(why);
    return s;
  };
  if (!s.provisioned) return fail("no machine file");
  try {
    store::ReadMachine(root);
    std::vector<std::string> found;
    std::string system;
    {
      std::unique_ptr<store::Store> st = store::Store::Open(root);
      for (const store::MailboxInfo& m : st->Mailboxes()) {
        if (m.is_system) {
          if (!system.empty()) return fail("two system mailboxes");
          system = m.alias;
        } else {
          found.push_back(m.alias);
        }
      }
    }
    if (system.empty()) return fail("no system mailbox");
    std::sort(found.begin(), found.end());
    std::sort(aliases.begin(), aliases.end());
    if (check_mailboxes && found != aliases) {
      return fail(std::to_string(found.size()) + " mailboxes instead of " +
                  std::to_string(aliases.size()));
    }
    std::ifstream in(DefaultLdifPath(root), std::ios::binary);
    if (!in) return fail("no users.ldif");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bool names_system = false;
    for (const Entry& e : ParseLdif(text, "users.ldif")) {
      const Attribute* a = e.Find("mailNickName");
      names_system = names_system || (a != nullptr && a->values[0] == system);
    }
    if (!names_system) return fail("users.ldif lacks the system mailbox");
  } catch (const std::exception& e) {
    return fail(std::string("unusable: ") + e.what());
  }
  std::vector<fs::path> ours{store::MachineFile(root)};
  for (const fs::path& top : {root / "store", root / "directory"}) {
    ours.push_back(top);
    for (fs::recursive_directory_iterator it(top, ec), end; !ec && it != end; it.increment(ec)) {
      ours.push_back(it->path());
    }
  }
  for (const fs::path& p : ours) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return fail("cannot stat " + p.string());
    const unsigned want = S_ISDIR(st.st_mode) ? 0700 : 0600;
    if ((st.st_mode & 07777) != want) return fail("mode of " + p.string());
  }
  s.whole = true;
  return s;
}

}  // namespace directory
