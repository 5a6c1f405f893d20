// A provisioned server root of a test's own, optionally on a small file
// system of its own (for disk-full and read-only cases), with helpers that
// read the store the way an administrator's tool would.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/server_root.h"
#include "platform/store/schema.h"
#include "platform/store/store.h"

namespace lmtp::testing {

inline const store::Machine kMachine{"mx", "example.com"};

class StoreRoot {
 public:
  // Provisions a root below parent (a new temporary folder when empty).
  explicit StoreRoot(const std::filesystem::path& parent = {}) {
    if (parent.empty()) {
      char tmpl[] = "/tmp/zenthra-lmtp-test-XXXXXX";
      if (::mkdtemp(tmpl) != nullptr) scratch_ = tmpl;
      root_ = scratch_ / "root";
    } else {
      root_ = parent / "root";
    }
    store::Provision(root_, kMachine);
    core::SetServerRoot(root_);
  }
  ~StoreRoot() {
    std::error_code ec;
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ec);
  }

  const std::filesystem::path& path() const { return root_; }
  std::unique_ptr<store::Store> Open() const { return store::Store::Open(root_); }

  void AddMailboxes(const std::vector<std::string>& aliases) const {
    std::unique_ptr<store::Store> s = Open();
    for (const std::string& a : aliases) s->AddMailbox(a);
  }

  // The subjects of the messages in a folder of a mailbox ("Inbox", "Spam").
  std::vector<std::string> Subjects(const std::string& mailbox,
                                    const std::string& folder = "Inbox") const {
    std::unique_ptr<store::Store> s = Open();
    std::vector<std::string> subjects;
    std::optional<store::Item> f = s->Find({"example.com", "MBX", mailbox, folder});
    if (!f) return subjects;
    for (const store::Item& item : s->Children(f->id)) {
      for (const auto& [name, value] : s->Properties(item.id, false)) {
        if (name == store::schema::kSubject) subjects.push_back(value.AsString());
      }
    }
    return subjects;
  }

 private:
  std::filesystem::path scratch_;
  std::filesystem::path root_;
};

}  // namespace lmtp::testing
